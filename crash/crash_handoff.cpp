#include "crash/crash_handoff.h"

#include <process.h>

#include "common/scoped.h"
#include "crash/crash_record.h"
#include "crash/crash_text.h"

namespace {

// Reserved, committed only as used: Wine's MiniDumpWriteDump and the event
// log's calls run on it.
constexpr unsigned kRecorderStackBytes = 1024 * 1024;

// Made once at start and kept for the life of the process.
HANDLE crash_handed_over = nullptr;
HANDLE crash_recorded = nullptr;
DWORD record_bound = 0;
DWORD recorder_thread_id = 0;  // 0: no recorder

// The first crash, written by its thread before the recorder is woken.
volatile LONG crashed_thread = 0;
volatile LONG crash_code = 0;
EXCEPTION_POINTERS* crash_exception = nullptr;

unsigned __stdcall run_recorder(void* running) {
  SetEvent(static_cast<HANDLE>(running));
  WaitForSingleObject(crash_handed_over, INFINITE);
  record_crash(crash_exception, static_cast<DWORD>(crashed_thread), static_cast<DWORD>(crash_code));
  SetEvent(crash_recorded);
  return 0;
}

}  // namespace

bool start_crash_recorder(DWORD record_bound_milliseconds) {
  record_bound = record_bound_milliseconds;
  crash_handed_over = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  crash_recorded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (crash_handed_over == nullptr || crash_recorded == nullptr) return false;
  // A new thread takes the loader lock before it runs its first line, to
  // announce itself to every loaded library; a thread that holds the lock
  // from then on would keep the recorder from ever starting. So the
  // recorder is running before the handler is in place.
  const ScopedHandle running(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!running.valid()) return false;
  unsigned thread_id = 0;
  const uintptr_t handle = _beginthreadex(nullptr, kRecorderStackBytes, run_recorder, running.get(),
                                          STACK_SIZE_PARAM_IS_A_RESERVATION, &thread_id);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): _beginthreadex returns the thread's HANDLE as an integer.
  const ScopedHandle thread(reinterpret_cast<HANDLE>(handle));
  if (!thread.valid()) return false;
  const HANDLE started[] = {running.get(), thread.get()};
  if (WaitForMultipleObjects(2, started, FALSE, INFINITE) != WAIT_OBJECT_0) return false;
  recorder_thread_id = thread_id;
  return true;
}

void end_process_with_record(EXCEPTION_POINTERS* exception) {
  const DWORD thread_id = GetCurrentThreadId();
  const DWORD code = recorded_code(exception != nullptr && exception->ExceptionRecord != nullptr
                                       ? exception->ExceptionRecord->ExceptionCode
                                       : 0);
  if (recorder_thread_id != 0 && thread_id != recorder_thread_id) {
    if (InterlockedCompareExchange(&crashed_thread, static_cast<LONG>(thread_id), 0) == 0) {
      crash_exception = exception;
      crash_code = static_cast<LONG>(code);
      SetEvent(crash_handed_over);
    }
    WaitForSingleObject(crash_recorded, record_bound);
  }
  const DWORD first_code = static_cast<DWORD>(crash_code);
  const DWORD exit_code = crash_exit_code(first_code != 0 ? first_code : code);
  TerminateProcess(GetCurrentProcess(), exit_code);
  ExitProcess(exit_code);
}
