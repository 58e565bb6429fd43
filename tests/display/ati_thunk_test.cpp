// The library thunk's own test: a 32-bit Linux program (no Windows, so it runs
// under qemu-i386 where 32-bit code cannot run natively) that assembles the
// product's thunk text, calls it with known values in the callee-saved
// registers, and checks that those registers and the stack pointer come back
// unchanged, for both conventions and for exports that take more parameters
// than are passed and write them.
#include "display/ati_thunk.h"

#include <cstdint>
#include <cstdio>

extern "C" {
std::int32_t xv_call_any_convention(void* function, const std::uint32_t* arguments, std::uint32_t count);
// Probe: calls the thunk with marker values in EBX, ESI, EDI and EBP and
// records those registers and ESP as the thunk left them.
std::int32_t xv_probe(void* function, const std::uint32_t* arguments, std::uint32_t count);
std::uint32_t xv_probe_esp_before;
std::uint32_t xv_probe_after[5];  // ebx, esi, edi, ebp, esp
}

asm(".text\n"
    ".globl xv_call_any_convention\n"
    ".type xv_call_any_convention, @function\n"
    "xv_call_any_convention:\n" XV_ATI_THUNK_INSTRUCTIONS
    ".globl xv_probe\n"
    ".type xv_probe, @function\n"
    "xv_probe:\n"
    "    pushl %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl 28(%esp)\n"  // count, arguments, function: the thunk's frame
    "    pushl 28(%esp)\n"
    "    pushl 28(%esp)\n"
    "    movl  %esp, xv_probe_esp_before\n"
    "    movl  $0x0B0B0B0B, %ebx\n"
    "    movl  $0x51515151, %esi\n"
    "    movl  $0xD1D1D1D1, %edi\n"
    "    movl  $0xEBEBEBEB, %ebp\n"
    "    call  xv_call_any_convention\n"
    "    movl  %ebx, xv_probe_after\n"
    "    movl  %esi, xv_probe_after+4\n"
    "    movl  %edi, xv_probe_after+8\n"
    "    movl  %ebp, xv_probe_after+12\n"
    "    movl  %esp, xv_probe_after+16\n"
    "    movl  xv_probe_esp_before, %esp\n"
    "    addl  $12, %esp\n"
    "    popl  %edi\n"
    "    popl  %esi\n"
    "    popl  %ebx\n"
    "    popl  %ebp\n"
    "    ret\n");

namespace {

// The exports: each returns a value that shows which arguments it saw. The
// wide ones take six parameters, are passed three, write all six slots (as a
// callee may) and add the three extra ones to the result, so a scratch slot
// that is not zero shows too.
using W = std::uint32_t;
__attribute__((stdcall, noinline)) std::int32_t narrow_stdcall(W a, W b) { return a * 10 + b; }
__attribute__((cdecl, noinline)) std::int32_t narrow_cdecl(W a, W b) { return a * 10 + b; }
__attribute__((stdcall, noinline)) std::int32_t none_stdcall() { return 42; }

// Written by name, then pinned to their slots, so the compiler stores them.
#define XV_WIDE_BODY                                                   \
  const std::int32_t seen = a * 100 + b * 10 + c + d + e + f;          \
  a = b = c = d = e = f = 0x7E7E7E7E;                                  \
  asm volatile("" : : "m"(a), "m"(b), "m"(c), "m"(d), "m"(e), "m"(f)); \
  return seen

__attribute__((stdcall, noinline)) std::int32_t wide_stdcall(W a, W b, W c, W d, W e, W f) { XV_WIDE_BODY; }
__attribute__((cdecl, noinline)) std::int32_t wide_cdecl(W a, W b, W c, W d, W e, W f) { XV_WIDE_BODY; }

struct Case {
  const char* name;
  void* function;
  std::uint32_t count;
  std::int32_t expected;
};

}  // namespace

int main() {
  const std::uint32_t arguments[] = {1, 2, 3};
  const Case cases[] = {
      {"__stdcall, two arguments", reinterpret_cast<void*>(&narrow_stdcall), 2, 12},
      {"__cdecl, two arguments", reinterpret_cast<void*>(&narrow_cdecl), 2, 12},
      {"__stdcall, no arguments", reinterpret_cast<void*>(&none_stdcall), 0, 42},
      {"__stdcall, six parameters, three passed", reinterpret_cast<void*>(&wide_stdcall), 3, 123},
      {"__cdecl, six parameters, three passed", reinterpret_cast<void*>(&wide_cdecl), 3, 123},
  };
  const char* registers[] = {"ebx", "esi", "edi", "ebp", "esp"};
  int failures = 0;
  for (const Case& c : cases) {
    std::printf("%s: ", c.name);
    std::fflush(stdout);  // a crash names its case
    const std::int32_t result = xv_probe(c.function, arguments, c.count);
    const std::uint32_t expected[] = {0x0B0B0B0B, 0x51515151, 0xD1D1D1D1, 0xEBEBEBEB, xv_probe_esp_before};
    bool ok = result == c.expected;
    if (!ok) std::printf("result %d, expected %d; ", result, c.expected);
    for (int i = 0; i < 5; ++i) {
      if (xv_probe_after[i] != expected[i]) {
        std::printf("%s 0x%08X, expected 0x%08X; ", registers[i], xv_probe_after[i], expected[i]);
        ok = false;
      }
    }
    std::printf("%s\n", ok ? "ok" : "FAILED");
    failures += ok ? 0 : 1;
  }
  return failures == 0 ? 0 : 1;
}
