// The process-wide handler of exceptions that nobody handles, such as an
// access violation inside the ATI display library. It writes a minidump
// beside the trace log (keeping the newest few), one error entry in the
// event log and the same text in the trace log, then ends the process with
// the exception code, so that the service control manager counts a failure
// and applies the service's failure actions. No dialog appears.
#pragma once

// Installs the handler; called once, at process start. event_source: the
// source of the event-log entry (the service's name).
void install_crash_handler(const char* event_source);
