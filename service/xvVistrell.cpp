// Process entry of xvVistrell.exe.
#include <windows.h>

#include <string>

#include "trace/trace_log.h"

namespace {

std::string executable_path() {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  open_trace_log(executable_path());
  return 0;
}
