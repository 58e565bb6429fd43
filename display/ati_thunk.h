#pragma once

// The instructions of the 32-bit thunk that calls a vendor library export of
// unknown calling convention: xv_call_any_convention(function, arguments,
// count). Only the text is here, so the product (a COFF object, where the
// symbol carries a leading underscore) and the thunk's own test (a 32-bit
// Linux program, ELF) assemble the same instructions under their own label.
//
// The vendor library's calling convention is documented nowhere, and a wrong
// guess corrupts the stack. The thunk keeps the caller's stack pointer in
// EBP, which the callee preserves under both conventions, pushes the
// arguments right to left, calls, and takes the stack pointer back from EBP:
// whether the export popped its arguments (__stdcall) or left them (__cdecl),
// the caller's stack is as before. A compiler-generated call cannot promise
// that, since it may defer or fold its own stack adjustment.
//
// An export may also take more parameters than we pass (its declaration is
// documented nowhere either). Its extra parameter slots would be the thunk's
// saved EBP and return address, and a callee may write its own parameter
// slots. So the arguments sit on top of eight zeroed words: an extra
// parameter reads 0, and a write to it, or a __stdcall pop of it, lands in
// the scratch, which the thunk drops.
#define XV_ATI_THUNK_INSTRUCTIONS \
  "    pushl %ebp\n"              \
  "    movl  %esp, %ebp\n"        \
  "    .rept 8\n"                 \
  "    pushl $0\n"                \
  "    .endr\n"                   \
  "    movl  12(%ebp), %edx\n"    \
  "    movl  16(%ebp), %ecx\n"    \
  "1:  testl %ecx, %ecx\n"        \
  "    jz    2f\n"                \
  "    pushl -4(%edx,%ecx,4)\n"   \
  "    decl  %ecx\n"              \
  "    jmp   1b\n"                \
  "2:  call  *8(%ebp)\n"          \
  "    movl  %ebp, %esp\n"        \
  "    popl  %ebp\n"              \
  "    ret\n"
