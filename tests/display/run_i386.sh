#!/bin/sh
# run_i386.sh PROGRAM: runs a 32-bit Linux test program, under qemu-i386 where
# it is installed (the kernel may run no 32-bit code), else natively; exits 77
# (CTest: skipped) where it was not built or nothing can run it.
program=$1
if [ ! -x "$program" ]; then
  echo "SKIPPED: $program was not built (no i686-linux-gnu-g++)"
  exit 77
fi
if command -v qemu-i386 >/dev/null 2>&1; then
  exec qemu-i386 "$program"
fi
"$program"
status=$?
if [ "$status" -eq 126 ]; then
  echo "SKIPPED: this machine runs no 32-bit code and has no qemu-i386"
  exit 77
fi
exit "$status"
