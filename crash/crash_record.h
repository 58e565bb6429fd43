// The record of one crash: a trace line, the same text as one error entry in
// the event log, then a minidump beside the trace log (the newest few kept).
// The text comes first and names the dump as being written: it needs no
// lock but the trace log's, while the dump may never end.
// Everything it needs is prepared before any crash; it runs on the recorder
// thread, never on the crashed one.
#pragma once

#include <windows.h>

// Prepares the record: names, the folder of the executable, dbghelp.dll and
// the dumps' security. event_source: the source of the event-log entry.
void prepare_crash_record(const char* event_source);

// Records the crash of thread_id with the exception (its code replaced by
// `code`). Waits at most kTraceLockWaitMilliseconds, twice, for the trace
// log's lock. A dump that fails is followed by the text again, with its
// system error in place of its path.
void record_crash(const EXCEPTION_POINTERS* exception, DWORD thread_id, DWORD code);

// How long the record waits for the trace log's lock: for the folder of the
// dump, then again for the line. A thread that was writing a line when the
// process crashed elsewhere is done long before; one that crashed (or hangs)
// holding the lock never is.
constexpr DWORD kTraceLockWaitMilliseconds = 500;
