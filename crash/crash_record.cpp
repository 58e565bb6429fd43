#include "crash/crash_record.h"

#include "crash/crash_dumps.h"
#include "crash/crash_text.h"
#include "crash/dump_security.h"
#include "trace/trace_log.h"

namespace {

// Static: a crashed process may have a broken heap, and only the recorder
// thread, once, uses these.
struct RecordState {
  char event_source[64] = "";
  char executable_folder[MAX_PATH] = "";
  char base_name[MAX_PATH] = "";  // the executable's name without extension
  DumpWriter dump_writer;
  PrivateFileSecurity dump_security;
  // The exception as the record names it: its code replaced.
  EXCEPTION_RECORD exception_record = {};
  EXCEPTION_POINTERS exception = {};
  char dump_folder[MAX_PATH] = "";
  char dump_path[MAX_PATH] = "";
  char module_path[MAX_PATH] = "";
  char report[2 * MAX_PATH + 160] = "";
  char trace_line[sizeof report + 16] = "";
};
RecordState record_state;

void copy_text(char* target, std::size_t size, const char* text) {
  FixedText copy(target, size);
  copy.add(text);
}

// The module a code address lies in: its base and file path.
void find_module(const void* address, std::uintptr_t* base, char* path, std::size_t size) {
  path[0] = '\0';
  *base = 0;
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(address, &region, sizeof region) == 0) return;
  if (region.Type != MEM_IMAGE || region.AllocationBase == nullptr) return;
  const auto module = static_cast<HMODULE>(region.AllocationBase);
  const DWORD length = GetModuleFileNameA(module, path, static_cast<DWORD>(size));
  if (length == 0 || length >= size) {
    path[0] = '\0';
    return;
  }
  *base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
}

void report_to_event_log(const char* text) {
  const HANDLE source = RegisterEventSourceA(nullptr, record_state.event_source);
  if (source == nullptr) return;
  const char* strings[] = {text};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// The dump: beside the trace log, or beside the executable when the log has
// no file or its lock stays taken. The folder it goes to is the one pruned.
DWORD write_dump(const SYSTEMTIME& now, DWORD thread_id) {
  RecordState& state = record_state;
  if (!trace_log_folder(state.dump_folder, sizeof state.dump_folder, kTraceLockWaitMilliseconds))
    copy_text(state.dump_folder, sizeof state.dump_folder, state.executable_folder);
  if (!format_dump_path(state.dump_path, sizeof state.dump_path, state.dump_folder, state.base_name, now))
    return ERROR_FILENAME_EXCED_RANGE;
  prune_dumps(state.dump_folder, state.base_name, kDumpsKept);
  return state.dump_writer.write(state.dump_path, &state.exception, thread_id,
                                 state.dump_security.attributes());
}

}  // namespace

void prepare_crash_record(const char* event_source) {
  RecordState& state = record_state;
  copy_text(state.event_source, sizeof state.event_source, event_source);
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length > 0 && length < sizeof path) {
    char* name = path;
    for (char* p = path; *p != '\0'; ++p) {
      if (*p == '\\' || *p == '/') name = p + 1;
    }
    copy_text(state.base_name, sizeof state.base_name, name);
    char* dot = nullptr;
    for (char* p = state.base_name; *p != '\0'; ++p) {
      if (*p == '.') dot = p;
    }
    if (dot != nullptr) *dot = '\0';
    if (name > path) name[-1] = '\0';
    copy_text(state.executable_folder, sizeof state.executable_folder, path);
  } else {
    copy_text(state.base_name, sizeof state.base_name, event_source);
  }
  // Failures show in the crash's own record: the dump's system error.
  state.dump_writer.load();
  state.dump_security.build();
  // The thread library's clock looks up a kernel32 function on its first
  // use, under the loader lock: the first timed wait for the trace log's
  // lock happens here, not in a crashed process.
  trace_log_folder(state.dump_folder, sizeof state.dump_folder, 0);
}

void record_crash(const EXCEPTION_POINTERS* exception, DWORD thread_id, DWORD code) {
  RecordState& state = record_state;
  if (exception != nullptr && exception->ExceptionRecord != nullptr)
    state.exception_record = *exception->ExceptionRecord;
  state.exception_record.ExceptionCode = code;
  state.exception.ExceptionRecord = &state.exception_record;
  state.exception.ContextRecord = exception != nullptr ? exception->ContextRecord : nullptr;

  SYSTEMTIME now;
  GetLocalTime(&now);
  CrashFacts facts;
  facts.code = code;
  facts.thread_id = thread_id;
  facts.dump_error = write_dump(now, thread_id);
  facts.dump_path = state.dump_path;
  facts.address = reinterpret_cast<std::uintptr_t>(state.exception_record.ExceptionAddress);
  // After the dump: the module's path needs the loader lock, which another
  // thread may hold until the process ends.
  find_module(state.exception_record.ExceptionAddress, &facts.module_base, state.module_path,
              sizeof state.module_path);
  facts.module_path = state.module_path;

  format_crash_report(state.report, sizeof state.report, facts);
  report_to_event_log(state.report);
  FixedText line(state.trace_line, sizeof state.trace_line);
  format_time_prefix(&line, now);
  line.add(state.report);
  trace_crash_line(state.trace_line, kTraceLockWaitMilliseconds);
}
