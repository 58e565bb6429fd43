// A process with the crash handler installed that crashes on request:
//   crash_probe ati        calls GetCapabilities of the ATI library in the
//                          system directory (the test switches its crash on)
//   crash_probe in-trace   crashes while the trace log's lock is held: inside
//                          the debugger copy of a traced line
// Its trace log is crash_probe.txt beside it; it never ends normally.
#include <windows.h>

#include <string>
#include <vector>

#include "crash/crash_handler.h"
#include "trace/trace_log.h"

namespace {

using GetCapabilitiesFunction = int(__stdcall*)(int, DWORD*, DWORD*);

void crash_here() {
  // The pointer is volatile too, so the compiler cannot see the null and
  // put a trap instruction in place of the faulting write.
  static volatile int* volatile nowhere = nullptr;
  *nowhere = 1;  // NOLINT(clang-analyzer-core.NullDereference): the fault is the purpose
}

// OutputDebugStringA raises this code; the trace log calls it under its lock.
LONG CALLBACK crash_on_debug_output(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode == 0x40010006) crash_here();
  return EXCEPTION_CONTINUE_SEARCH;
}

int call_ati_library() {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  const std::string path = std::string(folder, length) + "\\atipdlxx.dll";
  const HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) return 2;
  const auto get_capabilities = reinterpret_cast<GetCapabilitiesFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, "GetCapabilities")));
  if (get_capabilities == nullptr) return 3;
  DWORD controllers = 0;
  DWORD ports = 0;
  get_capabilities(0, &controllers, &ports);
  return 4;  // the library did not crash
}

}  // namespace

int main(int argc, char** argv) {
  install_crash_handler("crash_probe");
  char executable[MAX_PATH];
  GetModuleFileNameA(nullptr, executable, MAX_PATH);
  open_trace_log(executable);
  std::vector<std::string> options{"crash_probe", "-d"};
  parse_trace_options(&options);
  trace("probe started", 1);

  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "ati") return call_ati_library();
  if (mode == "in-trace") {
    AddVectoredExceptionHandler(1, crash_on_debug_output);
    trace("this line never ends", 1);
    return 5;
  }
  return 1;
}
