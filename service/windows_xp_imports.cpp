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

ULONGLONG WINAPI tick_count_64() {
  // Looked up on every call: cheap, and no static initialisation that could
  // itself need the thread library.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto real = reinterpret_cast<TickCount64Function>(
      reinterpret_cast<void*>(kernel != nullptr ? GetProcAddress(kernel, "GetTickCount64") : nullptr));
  return real != nullptr ? real() : GetTickCount();
}

}  // namespace

extern "C" {
TickCount64Function xv_import_GetTickCount64 __asm__("__imp__GetTickCount64@0") = tick_count_64;
}
