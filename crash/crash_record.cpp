#include "crash/crash_record.h"

#include <chrono>

#include "crash/crash_dumps.h"
#include "crash/crash_text.h"
#include "crash/dump_security.h"
#include "trace/trace_log.h"

namespace {

// ntdll's NtQueryVirtualMemory with MemoryMappedFilenameInformation: the
// path of the file mapped at an address. GetModuleFileNameA would take the
// loader lock, which another thread may hold until the process ends.
struct MappedFileName {
  USHORT length;  // in bytes
  USHORT maximum_length;
  WCHAR* buffer;
  WCHAR text[MAX_PATH + 64];  // room for the device's name in front
};
using QueryVirtualMemoryFunction = LONG(WINAPI*)(HANDLE, const void*, int, void*, SIZE_T, SIZE_T*);
constexpr int kMemoryMappedFilenameInformation = 2;

// Static: a crashed process may have a broken heap, and only the recorder
// thread, once, uses these.
struct RecordState {
  char event_source[64] = "";
  char executable_folder[MAX_PATH] = "";
  char base_name[MAX_PATH] = "";  // the executable's name without extension
  DumpWriter dump_writer;
  DWORD dump_writer_error = ERROR_INVALID_FUNCTION;
  PrivateFileSecurity dump_security;
  QueryVirtualMemoryFunction query_virtual_memory = nullptr;
  MappedFileName mapped_file_name = {};
  // The exception as the record names it: its code replaced.
  EXCEPTION_RECORD exception_record = {};
  EXCEPTION_POINTERS exception = {};
  char dump_folder[MAX_PATH] = "";
  char dump_path[MAX_PATH] = "";
  char module_path[MAX_PATH + 64] = "";  // as long as the mapped file's name
  char report[2 * MAX_PATH + 160] = "";
  char trace_line[sizeof report + 16] = "";
};
RecordState record_state;

void copy_text(char* target, std::size_t size, const char* text) {
  FixedText copy(target, size);
  copy.add(text);
}

// The module a code address lies in: its base and the path of its file, in
// the form the kernel names it ("\Device\HarddiskVolume1\...\atipdlxx.dll");
// the report uses only the file name.
void find_module(const void* address, std::uintptr_t* base, char* path, std::size_t size) {
  RecordState& state = record_state;
  path[0] = '\0';
  *base = 0;
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(address, &region, sizeof region) == 0) return;
  if (region.Type != MEM_IMAGE || region.AllocationBase == nullptr) return;
  if (state.query_virtual_memory == nullptr) return;
  MappedFileName& name = state.mapped_file_name;
  if (state.query_virtual_memory(GetCurrentProcess(), region.AllocationBase, kMemoryMappedFilenameInformation,
                                 &name, sizeof name, nullptr) < 0)
    return;
  const int length =
      WideCharToMultiByte(CP_ACP, 0, name.buffer, name.length / static_cast<int>(sizeof(WCHAR)), path,
                          static_cast<int>(size) - 1, nullptr, nullptr);
  if (length <= 0) return;
  path[length] = '\0';
  *base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
}

void report_to_event_log(const char* text) {
  const HANDLE source = RegisterEventSourceA(nullptr, record_state.event_source);
  if (source == nullptr) return;
  const char* strings[] = {text};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// Where the dump goes: beside the trace log, or beside the executable when
// the log has no file or its lock stays taken. 0, or the system error that
// leaves the crash without a dump.
DWORD choose_dump_path(const SYSTEMTIME& now) {
  RecordState& state = record_state;
  if (!trace_log_folder(state.dump_folder, sizeof state.dump_folder, kTraceLockWaitMilliseconds))
    copy_text(state.dump_folder, sizeof state.dump_folder, state.executable_folder);
  if (!format_dump_path(state.dump_path, sizeof state.dump_path, state.dump_folder, state.base_name, now))
    return ERROR_FILENAME_EXCED_RANGE;
  return state.dump_writer_error;
}

// The trace line first: it needs nothing but the trace log's lock, while
// registering an event source goes through libraries a crashed process may
// have left locked.
void report_crash(const CrashFacts& facts, const SYSTEMTIME& now) {
  RecordState& state = record_state;
  format_crash_report(state.report, sizeof state.report, facts);
  FixedText line(state.trace_line, sizeof state.trace_line);
  format_time_prefix(&line, now);
  line.add(state.report);
  trace_crash_line(state.trace_line, kTraceLockWaitMilliseconds);
  report_to_event_log(state.report);
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
  state.dump_writer_error = state.dump_writer.load();
  state.dump_security.build();
  state.query_virtual_memory = reinterpret_cast<QueryVirtualMemoryFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryVirtualMemory")));
  // The record's timed waits for the trace log's lock read both clocks, and
  // the thread library looks up its wall clock's kernel32 function on first
  // use, which takes the loader lock: that use is here, not in a crash.
  static_cast<void>(std::chrono::system_clock::now());
  static_cast<void>(std::chrono::steady_clock::now());
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
  facts.address = reinterpret_cast<std::uintptr_t>(state.exception_record.ExceptionAddress);
  find_module(state.exception_record.ExceptionAddress, &facts.module_base, state.module_path,
              sizeof state.module_path);
  facts.module_path = state.module_path;
  facts.dump_path = state.dump_path;
  facts.dump_error = choose_dump_path(now);

  // The text before the dump: the dump may block for good (another thread
  // holding the loader lock) or fault, and the bound then ends the process.
  report_crash(facts, now);
  if (facts.dump_error != ERROR_SUCCESS) return;
  prune_dumps(state.dump_folder, state.base_name, kDumpsKept);
  facts.dump_error =
      state.dump_writer.write(state.dump_path, &state.exception, thread_id, state.dump_security.attributes());
  if (facts.dump_error != ERROR_SUCCESS) report_crash(facts, now);
}
