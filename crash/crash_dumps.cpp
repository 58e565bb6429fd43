#include "crash/crash_dumps.h"

#include <cstring>

#include "crash/crash_text.h"

namespace {

using SymSetOptionsFunction = DWORD(WINAPI*)(DWORD);

// ntdll's NtSetInformationFile with FileDispositionInformation: the one way
// before Windows Vista to take back a deletion set on an open file.
struct DispositionStatusBlock {
  LONG_PTR status;
  ULONG_PTR information;
};
using SetInformationFileFunction = LONG(WINAPI*)(HANDLE, DispositionStatusBlock*, void*, ULONG, int);
constexpr int kFileDispositionInformation = 13;

SetInformationFileFunction set_information_file = nullptr;

// A dump needs no symbols, and the option changes nothing in it. Without it
// Wine's MiniDumpWriteDump first reads the debug information of every module
// of the process, which kept a crashed service alive for up to half a minute.
void defer_symbol_loads(HMODULE dbghelp) {
  const auto set_options = reinterpret_cast<SymSetOptionsFunction>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymSetOptions")));
  if (set_options != nullptr) set_options(SYMOPT_DEFERRED_LOADS);
}

bool mark_for_deletion(HANDLE file, bool deleted) {
  if (set_information_file == nullptr) return false;
  DispositionStatusBlock status = {};
  BOOLEAN delete_file = deleted ? TRUE : FALSE;
  return set_information_file(file, &status, &delete_file, sizeof delete_file, kFileDispositionInformation) >=
         0;
}

// A scan of the folder: how many dumps it holds and the path of the oldest.
int count_dumps(const char* pattern, const char* folder, char* oldest, std::size_t oldest_size) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  char oldest_name[MAX_PATH] = "";
  int count = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    ++count;
    if (oldest_name[0] == '\0' || std::strcmp(found.cFileName, oldest_name) < 0) {
      FixedText name(oldest_name, sizeof oldest_name);
      name.add(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  FixedText path(oldest, oldest_size);
  path.add(folder).add("\\").add(oldest_name);
  return path.truncated() ? 0 : count;
}

}  // namespace

int prune_dumps(const char* folder, const char* base_name, int keep) {
  char pattern[MAX_PATH];
  FixedText text(pattern, sizeof pattern);
  text.add(folder).add("\\").add(base_name).add("-*.dmp");
  if (text.truncated()) return 0;

  char oldest[MAX_PATH];
  int deleted = 0;
  // Bounded: a file that cannot be deleted ends the pruning.
  while (count_dumps(pattern, folder, oldest, sizeof oldest) >= keep && keep > 0) {
    if (!DeleteFileA(oldest)) break;
    ++deleted;
  }
  return deleted;
}

DWORD DumpWriter::load() {
  set_information_file = reinterpret_cast<SetInformationFileFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetInformationFile")));
  // The system's own dbghelp.dll only, never one beside the executable.
  char library_path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(library_path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    load_error_ = GetLastError() != 0 ? GetLastError() : ERROR_PATH_NOT_FOUND;
    return load_error_;
  }
  FixedText library(library_path + length, MAX_PATH - length);
  library.add("\\dbghelp.dll");
  if (library.truncated()) return load_error_ = ERROR_FILENAME_EXCED_RANGE;

  const HMODULE dbghelp = LoadLibraryExA(library_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (dbghelp == nullptr) return load_error_ = GetLastError();
  function_ =
      reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  if (function_ == nullptr) {
    load_error_ = GetLastError();
    FreeLibrary(dbghelp);
    return load_error_;
  }
  defer_symbol_loads(dbghelp);
  return load_error_ = ERROR_SUCCESS;
}

DWORD DumpWriter::write(const char* path, EXCEPTION_POINTERS* exception, DWORD thread_id,
                        SECURITY_ATTRIBUTES* security) const {
  if (function_ == nullptr) return load_error_;
  // CREATE_NEW: a file someone placed under the dump's name beforehand,
  // with a security of their choosing, is never written into.
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, security, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  const bool marked = mark_for_deletion(file, true);
  MINIDUMP_EXCEPTION_INFORMATION information = {thread_id, exception, FALSE};
  DWORD error = ERROR_SUCCESS;
  if (!function_(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                 exception != nullptr ? &information : nullptr, nullptr, nullptr)) {
    error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
  } else if (marked && !mark_for_deletion(file, false)) {
    error = ERROR_WRITE_FAULT;  // the file goes when closed
  }
  CloseHandle(file);
  if (error != ERROR_SUCCESS && !marked) DeleteFileA(path);
  return error;
}
