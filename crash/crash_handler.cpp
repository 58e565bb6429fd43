#include "crash/crash_handler.h"

#include "crash/crash_handoff.h"
#include "crash/crash_record.h"
#include "crash/fatal_paths.h"

namespace {

LONG WINAPI crash_filter(EXCEPTION_POINTERS* exception) { end_process_with_record(exception); }

}  // namespace

void install_crash_handler(const char* event_source, DWORD record_bound_milliseconds) {
  prepare_thread_for_crash();
  prepare_crash_record(event_source);
  start_crash_recorder(record_bound_milliseconds);
  SetUnhandledExceptionFilter(crash_filter);
  install_fatal_path_handlers();
  // Should the filter itself fail (a second overflow), Windows' own report
  // must not wait on a box either.
  SetErrorMode(SetErrorMode(0) | SEM_NOGPFAULTERRORBOX);
}
