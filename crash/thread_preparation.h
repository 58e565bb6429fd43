// What a thread needs for its crash to be recorded: stack in reserve for a
// stack overflow. Its own unit, so that a library with threads of its own
// links it without the rest of the crash handler.
#pragma once

// Asks Windows to keep stack in reserve for a stack overflow on the calling
// thread, so the exception can still be handed over to the recorder. Call it
// first thing on every long-lived thread (install_crash_handler does for the
// main thread). Where kernel32 lacks SetThreadStackGuarantee (Windows XP) it
// does nothing, and the hand-over has what the overflow leaves: under Wine,
// which takes the call but keeps no more in reserve, about 1.7 KB.
void prepare_thread_for_crash();
