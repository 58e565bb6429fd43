// A process with the crash handler installed that crashes on request:
//   crash_probe MODE [BOUND_MS]
// MODE:
//   ati                calls GetCapabilities of the ATI library in the system
//                      directory (the test switches its crash on)
//   in-trace           crashes while the trace log's lock is held: inside the
//                      debugger copy of a traced line
//   overflow           overflows the stack of a thread with the service
//                      thread's 1 MB reservation
//   throw              throws a C++ exception nothing catches, on a thread
//   abort              calls abort()
//   pure-virtual       calls a pure virtual function
//   loader-lock        crashes while another thread holds the loader lock
//   loader-lock-at-start
//                      takes the loader lock as soon as the handler is
//                      installed, then crashes while another thread holds
//                      the trace log's lock for a moment
//   bad-context        crashes with a context the record cannot read: the
//                      recorder faults
// BOUND_MS: how long a crash waits for its record (default: the product's).
// Its trace log is crash_probe.txt beside it; it never ends normally.
#include <windows.h>

#include <process.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "crash/crash_handler.h"
#include "trace/trace_log.h"

namespace {

using GetCapabilitiesFunction = int(__stdcall*)(int, DWORD*, DWORD*);
using LockLoaderFunction = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);

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

// Deep enough to reach any stack's end; the frame is kept by its use after
// the call.
int recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth < 0) return 0;
  return recurse(depth + 1) + frame[0];
}

unsigned __stdcall overflow(void*) {
  prepare_thread_for_crash();
  return static_cast<unsigned>(recurse(0));
}

unsigned __stdcall throw_error(void*) { throw std::runtime_error("nobody catches this"); }

// Runs a mode's thread and waits for it: the crash ends the process first.
int on_thread(unsigned(__stdcall* body)(void*)) {
  const uintptr_t thread =
      _beginthreadex(nullptr, 1024 * 1024, body, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): _beginthreadex returns the thread's HANDLE as an integer.
  WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
  return 6;
}

// A virtual call from a base's constructor, through a pointer the compiler
// cannot follow, reaches the base's own (pure) function.
struct Base {
  Base();
  virtual ~Base() = default;
  virtual void pure() = 0;
};
void (Base::*volatile pure_function)() = &Base::pure;
Base::Base() { (this->*pure_function)(); }
struct Derived : Base {
  void pure() override {}
};

LockLoaderFunction lock_loader() {
  return reinterpret_cast<LockLoaderFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrLockLoaderLock")));
}

// Takes the loader lock for good, then lets the main thread crash.
unsigned __stdcall hold_loader_lock(void* taken) {
  ULONG_PTR cookie = 0;
  lock_loader()(0, nullptr, &cookie);
  SetEvent(taken);
  Sleep(INFINITE);
  return 0;
}

// The trace log's lock, held for a moment by a thread that started before
// the handler: inside the debugger copy of its line.
HANDLE trace_go = nullptr;
HANDLE trace_held = nullptr;
DWORD holder_thread = 0;

LONG CALLBACK hold_on_debug_output(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != 0x40010006 || GetCurrentThreadId() != holder_thread)
    return EXCEPTION_CONTINUE_SEARCH;
  SetEvent(trace_held);
  Sleep(300);
  return EXCEPTION_CONTINUE_SEARCH;
}

unsigned __stdcall hold_trace_lock(void* running) {
  SetEvent(running);
  WaitForSingleObject(trace_go, INFINITE);
  trace("held for a moment", 1);
  Sleep(INFINITE);
  return 0;
}

// A thread that begins takes the loader lock to announce itself to the
// loaded libraries: the recorder is past that before the handler returns,
// and its wait for a busy trace log needs no loader lock either.
void start_trace_holder() {
  trace_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  trace_held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  unsigned id = 0;
  _beginthreadex(nullptr, 0, hold_trace_lock, running, 0, &id);
  holder_thread = id;
  WaitForSingleObject(running, INFINITE);
}

void crash_beside_the_trace_holder() {
  AddVectoredExceptionHandler(1, hold_on_debug_output);
  SetEvent(trace_go);
  WaitForSingleObject(trace_held, INFINITE);
  crash_here();
}

int crash_with_bad_context() {
  const LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(filter);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = 0xE0000042;
  EXCEPTION_POINTERS exception = {&record, reinterpret_cast<CONTEXT*>(16)};
  filter(&exception);
  return 8;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool lock_at_start = mode == "loader-lock-at-start";
  if (lock_at_start) start_trace_holder();
  install_crash_handler("crash_probe",
                        argc > 2 ? std::strtoul(argv[2], nullptr, 10) : kCrashRecordBoundMilliseconds);
  ULONG_PTR cookie = 0;
  if (lock_at_start) lock_loader()(0, nullptr, &cookie);
  char executable[MAX_PATH];
  GetModuleFileNameA(nullptr, executable, MAX_PATH);
  open_trace_log(executable);
  std::vector<std::string> options{"crash_probe", "-d"};
  parse_trace_options(&options);
  trace("probe started", 1);

  if (mode == "ati") return call_ati_library();
  if (mode == "in-trace") {
    AddVectoredExceptionHandler(1, crash_on_debug_output);
    trace("this line never ends", 1);
    return 5;
  }
  if (mode == "overflow") return on_thread(overflow);
  if (mode == "throw") return on_thread(throw_error);
  if (mode == "abort") abort();
  if (mode == "pure-virtual") Derived();
  if (mode == "loader-lock") {
    const HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    _beginthreadex(nullptr, 0, hold_loader_lock, taken, 0, nullptr);
    WaitForSingleObject(taken, INFINITE);
    crash_here();
  }
  if (lock_at_start) crash_beside_the_trace_holder();
  if (mode == "bad-context") return crash_with_bad_context();
  return 1;
}
