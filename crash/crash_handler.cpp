#include "crash/crash_handler.h"

#include <windows.h>

#include "crash/crash_dumps.h"
#include "crash/crash_text.h"
#include "trace/trace_log.h"

namespace {

// Everything the handler needs is set up front or lives here: a crashed
// process may have a broken heap, and only the first crashing thread ever
// uses these buffers.
struct CrashState {
  char event_source[64] = "";
  char executable_folder[MAX_PATH] = "";
  char base_name[MAX_PATH] = "";  // the executable's name without extension
  char dump_folder[MAX_PATH] = "";
  char dump_path[MAX_PATH] = "";
  char module_path[MAX_PATH] = "";
  char report[2 * MAX_PATH + 160] = "";
  char trace_line[sizeof report + 16] = "";
};
CrashState crash_state;

// The thread that records the crash; 0 until one does.
volatile LONG recording_thread = 0;

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
  const HANDLE source = RegisterEventSourceA(nullptr, crash_state.event_source);
  if (source == nullptr) return;
  const char* strings[] = {text};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void record_crash(EXCEPTION_POINTERS* exception, DWORD thread_id) {
  CrashState& state = crash_state;
  CrashFacts facts;
  facts.thread_id = thread_id;
  const void* address = nullptr;
  if (exception != nullptr && exception->ExceptionRecord != nullptr) {
    facts.code = exception->ExceptionRecord->ExceptionCode;
    address = exception->ExceptionRecord->ExceptionAddress;
  }
  facts.address = reinterpret_cast<std::uintptr_t>(address);
  find_module(address, &facts.module_base, state.module_path, sizeof state.module_path);
  facts.module_path = state.module_path;

  // Beside the trace log; beside the executable when the log is busy or has
  // no file.
  if (!trace_log_folder(state.dump_folder, sizeof state.dump_folder))
    copy_text(state.dump_folder, sizeof state.dump_folder, state.executable_folder);
  SYSTEMTIME now;
  GetLocalTime(&now);
  if (format_dump_path(state.dump_path, sizeof state.dump_path, state.dump_folder, state.base_name, now)) {
    prune_dumps(state.dump_folder, state.base_name, kDumpsKept);
    facts.dump_error = write_minidump(state.dump_path, exception, thread_id);
  } else {
    facts.dump_error = ERROR_FILENAME_EXCED_RANGE;
  }
  facts.dump_path = state.dump_path;

  format_crash_report(state.report, sizeof state.report, facts);
  report_to_event_log(state.report);
  FixedText line(state.trace_line, sizeof state.trace_line);
  format_time_prefix(&line, now);
  line.add(state.report);
  trace_crash_line(state.trace_line);
}

LONG WINAPI crash_filter(EXCEPTION_POINTERS* exception) {
  const DWORD thread_id = GetCurrentThreadId();
  const DWORD code = exception != nullptr && exception->ExceptionRecord != nullptr
                         ? exception->ExceptionRecord->ExceptionCode
                         : 0;
  const LONG recorder = InterlockedCompareExchange(&recording_thread, static_cast<LONG>(thread_id), 0);
  if (recorder == static_cast<LONG>(thread_id)) {
    // The handler itself crashed: end without a second record.
    TerminateProcess(GetCurrentProcess(), crash_exit_code(code));
  }
  if (recorder != 0) {
    // Another thread records its crash and ends the process.
    Sleep(INFINITE);
  }
  record_crash(exception, thread_id);
  TerminateProcess(GetCurrentProcess(), crash_exit_code(code));
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void install_crash_handler(const char* event_source) {
  CrashState& state = crash_state;
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
  SetUnhandledExceptionFilter(crash_filter);
}
