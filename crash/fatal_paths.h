// The runtime's fatal ends that bypass the exception filter: std::terminate
// (an uncaught C++ exception in the 32-bit image, a throw out of a noexcept
// function in both), abort(), a call of a pure virtual function and the C
// runtime's invalid-parameter handler. Each hands its thread over to the
// recorder with a code of its own (crash/crash_text.h), and none shows the
// C runtime's "Runtime Error" box first.
#pragma once

// Installs the handlers; the invalid-parameter handler only where msvcrt.dll
// has one (not Windows XP's).
void install_fatal_path_handlers();
