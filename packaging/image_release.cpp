#include "packaging/image_release.h"

#include "common/scoped.h"

namespace {

// ERROR_SHARING_VIOLATION while a process runs the file; any other error
// says nothing about that.
DWORD exclusive_open_error(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  const ScopedHandle opened(file);
  return ERROR_SUCCESS;
}

}  // namespace

bool wait_for_image_release(const std::string& path, DWORD timeout_ms, DWORD poll_ms) {
  const DWORD start = GetTickCount();
  // Polled: there is no notification of a mapping's end.
  while (exclusive_open_error(path) == ERROR_SHARING_VIOLATION) {
    if (GetTickCount() - start >= timeout_ms) return false;
    Sleep(poll_ms);
  }
  return true;
}
