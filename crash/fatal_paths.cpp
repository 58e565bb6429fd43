#include "crash/fatal_paths.h"

#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "crash/crash_handoff.h"
#include "crash/crash_text.h"

namespace {

using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned,
                                               std::uintptr_t);
using SetInvalidParameterHandlerFunction = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);

// An exception record of the fatal end, with the context of this thread, as
// if it had been raised where the runtime called us.
[[noreturn]] __attribute__((noinline)) void end_without_exception(DWORD code, void* address) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = address;
  CONTEXT context = {};
  RtlCaptureContext(&context);
  EXCEPTION_POINTERS exception = {&record, &context};
  end_process_with_record(&exception);
}

// Hands over at once: the default handler writes to stderr and calls
// abort(), whose box a service's desktop never shows to anyone.
[[noreturn]] void on_terminate() { end_without_exception(kCppTerminationCode, __builtin_return_address(0)); }

[[noreturn]] void on_abort_signal(int) { end_without_exception(kAbortCode, __builtin_return_address(0)); }

void __cdecl on_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t) {
  end_without_exception(kInvalidParameterCode, __builtin_return_address(0));
}

}  // namespace

// Replaces the C++ runtime's own, which prints to stderr and calls
// std::terminate: a pure virtual call gets a code of its own.
extern "C" [[noreturn]] void __cxa_pure_virtual() {  // NOLINT(bugprone-reserved-identifier): the ABI's name
  end_without_exception(kPureVirtualCallCode, __builtin_return_address(0));
}

void install_fatal_path_handlers() {
  std::set_terminate(on_terminate);
  // msvcrt.dll's abort() shows its box before it raises SIGABRT, in a
  // program of the GUI subsystem; sent to stderr, the message goes nowhere.
  _set_error_mode(_OUT_TO_STDERR);
  std::signal(SIGABRT, on_abort_signal);
  const HMODULE runtime = GetModuleHandleA("msvcrt.dll");
  const auto set_handler = reinterpret_cast<SetInvalidParameterHandlerFunction>(reinterpret_cast<void*>(
      runtime != nullptr ? GetProcAddress(runtime, "_set_invalid_parameter_handler") : nullptr));
  if (set_handler != nullptr) set_handler(on_invalid_parameter);
}
