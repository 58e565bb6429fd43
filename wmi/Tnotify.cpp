#include "wmi/Tnotify.h"

#include <process.h>

#include "common/control_codes.h"
#include "common/errors.h"
#include "crash/thread_preparation.h"
#include "trace/trace_log.h"
#include "wmi/wmi.h"

const char kHotplugNamespace[] = "root/WMI";
const char kHotplugEventQuery[] =
    "select Description from XVBIOS_BIOSEvent where Name = 'Blade Dongle State'";
const char kHotplugProperty[] = "Description";

namespace {

// The debugger convention for naming a thread.
const DWORD kThreadNameException = 0x406D1388;
#pragma pack(push, 8)
struct ThreadNameInfo {
  DWORD type;  // 0x1000
  LPCSTR name;
  DWORD thread_id;  // -1: the calling thread
  DWORD flags;
};
#pragma pack(pop)

LONG CALLBACK swallow_thread_name_exception(EXCEPTION_POINTERS* exception) {
  return exception->ExceptionRecord->ExceptionCode == kThreadNameException ? EXCEPTION_CONTINUE_EXECUTION
                                                                           : EXCEPTION_CONTINUE_SEARCH;
}

void set_thread_description(const char* name) {
  using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  auto set_description = reinterpret_cast<SetThreadDescriptionFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set_description == nullptr) return;  // before Windows 10
  wchar_t wide[64];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 64) == 0) return;
  set_description(GetCurrentThread(), wide);
}

}  // namespace

void name_thread_for_debuggers(const char* name) {
  set_thread_description(name);
  // The older convention is an exception that only a debugger handles; with
  // none attached it would end the process, and with one attached that
  // declines it, the handler below takes it instead.
  if (!IsDebuggerPresent()) return;
  ThreadNameInfo info = {0x1000, name, static_cast<DWORD>(-1), 0};
  PVOID handler = AddVectoredExceptionHandler(1, swallow_thread_name_exception);
  if (handler == nullptr) return;
  RaiseException(kThreadNameException, 0, sizeof info / sizeof(ULONG_PTR),
                 reinterpret_cast<const ULONG_PTR*>(&info));
  RemoveVectoredExceptionHandler(handler);
}

TNotify::TNotify(LPHANDLER_FUNCTION_EX control_entry) : control_entry_(control_entry) {}

std::shared_ptr<TNotify> TNotify::Create(bool create_suspended, LPHANDLER_FUNCTION_EX control_entry) {
  std::shared_ptr<TNotify> notify(new TNotify(control_entry));
  notify->self_ = notify;
  unsigned thread_id = 0;
  const uintptr_t thread =
      _beginthreadex(nullptr, 0, &TNotify::run, notify.get(), CREATE_SUSPENDED, &thread_id);
  if (thread == 0) {
    const DWORD error = GetLastError();
    notify->self_.reset();
    throw EOSError(error);
  }
  // NOLINTNEXTLINE(performance-no-int-to-ptr): _beginthreadex returns the thread's HANDLE as an integer.
  notify->thread_.reset(reinterpret_cast<HANDLE>(thread));
  if (!create_suspended) notify->Resume();
  return notify;
}

void TNotify::Resume() {
  if (thread_) ResumeThread(thread_.get());
}

unsigned __stdcall TNotify::run(void* raw) {
  prepare_thread_for_crash();
  // The thread holds the watcher for as long as it runs and lets go of it at
  // the end: then the last holder frees it.
  std::shared_ptr<TNotify> self = std::move(static_cast<TNotify*>(raw)->self_);
  try {
    self->Execute();
  } catch (...) {
    // A failed wait ends the watcher without a word; the service runs on
    // without adapter events.
  }
  self->finished_ = true;
  return 0;
}

void TNotify::Execute() {
  name_thread_for_debuggers("DongleHotplug");
  while (!Terminated()) {
    const std::string state =
        WMI_wait_for_notification(kHotplugNamespace, kHotplugEventQuery, kHotplugProperty);
    // An event that ends the last wait after a terminate request is dropped:
    // the service it was meant for is stopping or gone.
    if (Terminated()) break;
    deliver(state);
  }
}

void TNotify::deliver(const std::string& state) {
  if (state == "Present") {
    control_entry_(CONTROL_ADAPTER_ATTACHED, 0, nullptr, nullptr);
  } else if (state == "Absent") {
    control_entry_(CONTROL_ADAPTER_DETACHED, 0, nullptr, nullptr);
  } else {
    trace("Got an unexpected value (" + state +
              ") for the state from the WMI call to wait for a notification when the "
              "BladeDongleState is changed",
          1);
  }
}
