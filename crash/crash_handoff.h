// The hand-over of a crash: the crashed thread gives its exception to the
// recorder thread and waits, for a bounded time, then ends the process.
// Whatever the record meets (a lock that is never freed, a fault of its
// own), the process ends within the bound, and the restart comes.
#pragma once

#include <windows.h>

// Starts the recorder thread, blocked until a crash, with its own stack.
// False when it could not: a crash then ends the process unrecorded.
bool start_crash_recorder(DWORD record_bound_milliseconds);

// Hands the crash to the recorder (the first crashing thread; a later one
// only waits), waits until it is recorded or the bound has passed, then ends
// the process with the first crash's recorded code. Uses a few hundred bytes
// of stack: after a stack overflow it runs on the last page. Called on the
// recorder thread (a fault inside the record), it ends the process at once.
[[noreturn]] void end_process_with_record(EXCEPTION_POINTERS* exception);
