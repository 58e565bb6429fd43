#include "crash/thread_preparation.h"

#include <windows.h>

namespace {

// Room for the exception dispatch and the hand-over after an overflow; the
// reserve Rust's runtime asks for the same purpose.
constexpr ULONG kStackOverflowReserveBytes = 20 * 1024;

using SetThreadStackGuaranteeFunction = BOOL(WINAPI*)(PULONG);

}  // namespace

void prepare_thread_for_crash() {
  const auto guarantee = reinterpret_cast<SetThreadStackGuaranteeFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadStackGuarantee")));
  ULONG size = kStackOverflowReserveBytes;
  if (guarantee != nullptr) guarantee(&size);
}
