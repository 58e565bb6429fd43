// The process-wide handler of crashes: exceptions that nobody handles (such
// as an access violation inside the ATI display library, or a stack
// overflow on any thread) and the runtime's fatal ends (crash/fatal_paths.h).
// A recorder thread, started at install, writes a minidump beside the trace
// log (keeping the newest few), one error entry in the event log and the same
// text in the trace log (crash/crash_record.h); the crashed thread only hands
// over and waits for it, for a bounded time, then ends the process with the
// exception code, so that the service control manager counts a failure and
// applies the service's failure actions. No dialog appears.
#pragma once

#include <windows.h>

#include "crash/thread_preparation.h"  // every thread prepares itself

// How long a crashed thread waits for the record before it ends the process
// anyway. Wine writes the service's dump in 8 to 17 s under the load of
// parallel builds and in 2 to 3 s on a quiet machine; the trace log's lock
// may add a second. The restart follows a minute after the end, so a record
// that hangs costs at most half a minute more.
constexpr DWORD kCrashRecordBoundMilliseconds = 30000;

// Installs the handler; called once, first thing at process start.
// event_source: the source of the event-log entry (the service's name).
// record_bound_milliseconds: how long a crash waits for its record.
void install_crash_handler(const char* event_source,
                           DWORD record_bound_milliseconds = kCrashRecordBoundMilliseconds);
