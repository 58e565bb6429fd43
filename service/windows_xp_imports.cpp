// The executable must load on Windows XP, so it may import nothing newer
// statically. The thread library of the toolchain imports GetTickCount64
// (Windows Vista and later) for its timed waits; this file gives the linker
// that import slot itself, filled with a function that uses the real one
// where the system has it and the 32-bit tick count on Windows XP. Linked
// into the executable directly, so it is taken before the system's import
// library is searched.
#include <windows.h>

namespace {

using TickCount64Function = ULONGLONG(WINAPI*)();

ULONGLONG WINAPI tick_count_32() { return GetTickCount(); }

TickCount64Function look_up_tick_count() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto real = reinterpret_cast<TickCount64Function>(
      reinterpret_cast<void*>(kernel != nullptr ? GetProcAddress(kernel, "GetTickCount64") : nullptr));
  return real != nullptr ? real : tick_count_32;
}

// Looked up once, while the process starts. GetModuleHandleA and
// GetProcAddress take the loader lock, and a timed wait can come where
// another thread holds that lock for good: the crash record's wait for a
// busy trace log does. A plain word, not a guarded static: the guard would
// itself need the thread library.
volatile TickCount64Function tick_count_function = nullptr;

ULONGLONG WINAPI tick_count_64() {
  TickCount64Function function = tick_count_function;
  if (function == nullptr) tick_count_function = function = look_up_tick_count();
  return function();
}

// Before main, on the one thread there is then.
const ULONGLONG resolved_at_start = tick_count_64();

}  // namespace

extern "C" {
TickCount64Function xv_import_GetTickCount64 __asm__("__imp__GetTickCount64@0") = tick_count_64;
}
