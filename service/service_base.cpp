#include "service/service_base.h"

#include <process.h>

#include <cstdio>
#include <exception>

#include "common/errors.h"
#include "crash/thread_preparation.h"
#include "service/win32_calls.h"
#include "trace/trace_log.h"

namespace {

const char* const kActionWords[] = {"stop", "pause", "continue", "interrogate", "shutdown"};

// Runs work and gives the message of an error that leaves it, if any.
// Exception objects carry their message; an error of any other kind (a text
// error a handler let through, a runtime error) gets a generic text, so it is
// reported like an Exception instead of ending the process.
template <typename Work>
std::optional<std::string> failure_of(Work&& work) {
  try {
    work();
    return std::nullopt;
  } catch (const Exception& error) {
    return error.message();
  } catch (const TextError& error) {
    return "Unexpected error: " + error.text();
  } catch (const std::exception& error) {
    return std::string("Unexpected error: ") + error.what();
  } catch (...) {
    return std::string("Unexpected error");
  }
}

bool is_pending(TCurrentStatus status) {
  return status == csStartPending || status == csStopPending || status == csContinuePending ||
         status == csPausePending;
}

}  // namespace

DWORD state_value(TCurrentStatus status) { return static_cast<DWORD>(status) + 1; }

std::string action_failure_text(const std::string& action, const std::string& message) {
  return "Service failed on " + action + ": " + message;
}

std::string request_failure_text(DWORD code, const std::string& message) {
  if (code >= SERVICE_CONTROL_STOP && code <= SERVICE_CONTROL_SHUTDOWN)
    return action_failure_text(kActionWords[code - 1], message);
  char head[64];
  std::snprintf(head, sizeof head, "Service failed in custom message(%d): ", static_cast<int>(code));
  return head + message;
}

std::string dependency_list(const std::vector<TDependency>& dependencies) {
  if (dependencies.empty()) return "";
  std::string list;
  for (const TDependency& dependency : dependencies) {
    if (dependency.IsGroup) list += '+';
    list += dependency.Name;
    list += '\0';
  }
  list += '\0';
  return list;
}

std::string executable_path() {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

// --- TEventLogger -----------------------------------------------------------

TEventLogger::TEventLogger(std::string source) : source_(std::move(source)) {}

void TEventLogger::LogMessage(const std::string& message, WORD event_type, WORD category, DWORD id) {
  const Win32Calls& calls = win32_calls();
  if (!handle_) {
    HANDLE handle = calls.register_event_source(nullptr, source_.c_str());
    if (handle == nullptr) return;
    handle_.emplace(handle, calls.deregister_event_source);
  }
  const char* strings[] = {message.c_str()};
  calls.report_event(handle_->get(), event_type, category, id, nullptr, 1, 0, strings, nullptr);
}

// --- TServiceThread ---------------------------------------------------------

TServiceThread::TServiceThread(TService& service) : service_(service) {
  const uintptr_t handle = _beginthreadex(nullptr, kStackSize, run, this,
                                          CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) raise_last_os_error();
  // NOLINTNEXTLINE(performance-no-int-to-ptr): _beginthreadex returns the thread's HANDLE as an integer.
  handle_.reset(reinterpret_cast<HANDLE>(handle));
}

void TServiceThread::Resume() { ResumeThread(handle_.get()); }

void TServiceThread::WaitFor() { WaitForSingleObject(handle_.get(), INFINITE); }

unsigned __stdcall TServiceThread::run(void* self) {
  prepare_thread_for_crash();
  static_cast<TServiceThread*>(self)->service_.run_service_thread();
  return 0;
}

// --- TService ---------------------------------------------------------------

TService::TService(TServiceHost* host, std::string name)
    : Name(std::move(name)), host_(host), resume_event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

TService::~TService() = default;

void TService::SetInteractive(bool interactive) {
  interactive_ = interactive;
  if (interactive) {
    service_start_name_.clear();
    password_.clear();
  }
}

void TService::SetServiceStartName(const std::string& name) {
  service_start_name_ = name;
  if (!name.empty()) interactive_ = false;
}

void TService::SetPassword(const std::string& password) {
  password_ = password;
  if (!password.empty()) interactive_ = false;
}

DWORD TService::service_type_value() const {
  switch (ServiceType) {
    case stDevice:
      return SERVICE_KERNEL_DRIVER;
    case stFileSystem:
      return SERVICE_FILE_SYSTEM_DRIVER;
    case stWin32:
      break;
  }
  const bool shared = host_ != nullptr && host_->ServiceCount() > 1;
  DWORD type = shared ? SERVICE_WIN32_SHARE_PROCESS : SERVICE_WIN32_OWN_PROCESS;
  if (interactive_) type |= SERVICE_INTERACTIVE_PROCESS;
  return type;
}

DWORD TService::start_type_value() const {
  if ((StartType == stBoot || StartType == stSystem) && ServiceType != stDevice) return SERVICE_AUTO_START;
  return static_cast<DWORD>(StartType);
}

DWORD TService::error_control_value() const { return static_cast<DWORD>(ErrorSeverity); }

DWORD TService::controls_accepted_value() const {
  if (status_ == csStartPending) return 0;
  DWORD accepted = SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE | SERVICE_ACCEPT_NETBINDCHANGE |
                   SERVICE_ACCEPT_HARDWAREPROFILECHANGE | SERVICE_ACCEPT_POWEREVENT |
                   SERVICE_ACCEPT_SESSIONCHANGE;
  if (AllowStop) accepted |= SERVICE_ACCEPT_STOP;
  if (AllowPause) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  return accepted;
}

void TService::SetStatus(TCurrentStatus status) {
  status_ = status;
  ReportStatus();
}

void TService::ReportStatus() {
  SERVICE_STATUS report = {};
  report.dwServiceType = service_type_value();
  report.dwCurrentState = state_value(status_);
  report.dwControlsAccepted = controls_accepted_value();
  report.dwCheckPoint = is_pending(status_) && status_ == last_state_ ? last_checkpoint_ + 1 : 0;
  report.dwWaitHint = WaitHint;
  if (!win32_calls().set_service_status(status_handle_, &report)) {
    const DWORD error = GetLastError();
    LogMessage(system_error_text(error));
  }
  last_state_ = status_;
  last_checkpoint_ = report.dwCheckPoint;
}

void TService::LogMessage(const std::string& message, WORD event_type, WORD category, DWORD id) {
  if (!event_logger_) event_logger_ = std::make_unique<TEventLogger>(Name);
  event_logger_->LogMessage(message, event_type, category, id);
}

void TService::Main(DWORD argc, char** argv) {
  for (DWORD i = 0; i < argc; ++i) Params.emplace_back(argv[i]);
  status_handle_ =
      win32_calls().register_service_ctrl_handler_ex(Name.c_str(), GetServiceController(), nullptr);
  if (status_handle_ == nullptr) {
    const DWORD error = GetLastError();
    LogMessage(system_error_text(error));
    return;
  }
  DoStart();
}

void TService::DoStart() {
  const std::optional<std::string> failure = failure_of([this] {
    SetStatus(csStartPending);
    const std::optional<std::string> run_failure = failure_of([this] {
      service_thread_ = std::make_unique<TServiceThread>(*this);
      service_thread_->Resume();
      service_thread_->WaitFor();
    });
    service_thread_.reset();
    SetStatus(csStopped);
    if (run_failure) throw Exception(*run_failure);
  });
  if (failure) LogMessage(action_failure_text("execute", *failure));
}

void TService::run_service_thread() {
  // The queue exists before Controller may post to it.
  MSG message;
  PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  requests_.clear();
  accept_requests(GetCurrentThreadId());

  bool started = true;
  const std::optional<std::string> start_failure = failure_of([&] {
    if (host_ != nullptr && host_->DelayInitialize()) host_->InitializeApplication();
    SetStatus(csStartPending);
    if (OnStart) OnStart(this, started);
  });
  if (start_failure) {
    LogMessage(action_failure_text("start", *start_failure));
  } else if (started) {
    const std::optional<std::string> execute_failure = failure_of([this] {
      SetStatus(csRunning);
      if (OnExecute)
        OnExecute(this);
      else
        ProcessRequests(true);
      ProcessRequests(false);
    });
    if (execute_failure) LogMessage(action_failure_text("execute", *execute_failure));
  }
  accept_requests(0);
  requests_.clear();
}

void TService::accept_requests(DWORD thread_id) {
  std::lock_guard<std::mutex> lock(request_lock_);
  request_thread_id_ = thread_id;
}

bool TService::Terminated() const { return service_thread_ != nullptr && service_thread_->Terminated(); }

void TService::terminate_service_thread() {
  if (service_thread_) service_thread_->Terminate();
}

// The request is queued first, and the message only wakes the service
// thread, which serves whatever is queued. When the post fails (a queue that
// another process filled) the request stays queued: the thread still has
// that process's messages to take, and each of them wakes it.
void TService::Controller(DWORD code, DWORD event_type, void*) {
  std::lock_guard<std::mutex> lock(request_lock_);
  if (request_thread_id_ == 0) return;
  requests_.add(code, event_type);
  if (!win32_calls().post_thread_message(request_thread_id_, kRequestMessage, code,
                                         static_cast<LPARAM>(event_type))) {
    const DWORD error = GetLastError();
    char text[128];
    std::snprintf(text, sizeof text, "Control request %lu (event type %lu) not posted: error %lu",
                  static_cast<unsigned long>(code), static_cast<unsigned long>(event_type),
                  static_cast<unsigned long>(error));
    trace(text, 1);
  }
  if (suspended_.exchange(false)) SetEvent(resume_event_.get());
}

// Whatever message the loop takes, from whoever, it then serves the queued
// requests, so a request whose own message never comes is served all the
// same, and a request message is never dispatched.
void TService::ProcessRequests(bool wait) {
  for (;;) {
    if (!serve_queued_requests(wait)) return;
    MSG message;
    if (wait) {
      if (GetMessageA(&message, nullptr, 0, 0) <= 0) return;
    } else if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      return;
    }
    if (message.hwnd != nullptr || message.message != kRequestMessage) DispatchMessageA(&message);
  }
}

// Serves the queued requests, oldest first. False when the loop is to end:
// with wait, once the thread has been told to end (what is left is served by
// the thread's last ProcessRequests); without, at the nesting bound.
bool TService::serve_queued_requests(bool wait) {
  for (;;) {
    if (wait && Terminated()) return false;
    if (!wait && requests_in_service_ >= kMaxNestedRequests) return false;
    const std::optional<TRequest> request = requests_.take();
    if (!request) return true;
    serve_request(request->code, request->event_type);
  }
}

void TService::serve_request(DWORD code, DWORD event_type) {
  const TCurrentStatus before = status_;
  bool handled = true;
  ++requests_in_service_;
  const std::optional<std::string> failure =
      failure_of([&] { handled = dispatch_request(code, event_type); });
  --requests_in_service_;
  if (failure) {
    if (code != SERVICE_CONTROL_SHUTDOWN) SetStatus(before);
    LogMessage(request_failure_text(code, *failure));
  } else if (!handled) {
    SetStatus(before);
  }
}

bool TService::dispatch_request(DWORD code, DWORD event_type) {
  switch (code) {
    case SERVICE_CONTROL_STOP:
      return DoStop();
    // The service control manager sends neither unless the service accepts
    // them; refused whoever asks.
    case SERVICE_CONTROL_PAUSE:
      return AllowPause && DoPause();
    case SERVICE_CONTROL_CONTINUE:
      return AllowPause && DoContinue();
    case SERVICE_CONTROL_INTERROGATE:
      DoInterrogate();
      return true;
    case SERVICE_CONTROL_SHUTDOWN:
      DoShutdown();
      return true;
    case SERVICE_CONTROL_SESSIONCHANGE:
      DoSessionChange(event_type);
      return true;
    default:
      return DoCustomControl(code, event_type);
  }
}

bool TService::DoStop() {
  SetStatus(csStopPending);
  bool stopped = true;
  if (OnStop) OnStop(this, stopped);
  if (stopped) terminate_service_thread();
  return stopped;
}

bool TService::DoPause() {
  SetStatus(csPausePending);
  bool paused = true;
  if (OnPause) OnPause(this, paused);
  if (paused) {
    SetStatus(csPaused);
    suspend_service_thread();
  }
  return paused;
}

// Waits until Controller brings the next request. A request that was queued
// before the wait began ends the pause at once.
void TService::suspend_service_thread() {
  suspended_ = true;
  if (!requests_.empty() && suspended_.exchange(false)) return;
  WaitForSingleObject(resume_event_.get(), INFINITE);
}

bool TService::DoContinue() {
  SetStatus(csContinuePending);
  bool continued = true;
  if (OnContinue) OnContinue(this, continued);
  if (continued) SetStatus(csRunning);
  return continued;
}

void TService::DoInterrogate() { ReportStatus(); }

void TService::DoShutdown() {
  SetStatus(csStopPending);
  struct TerminateOnExit {
    TService* service;
    ~TerminateOnExit() { service->terminate_service_thread(); }
  } terminate_on_exit{this};
  if (OnShutdown) OnShutdown(this);
}

void TService::DoSessionChange(DWORD event_type) {
  if (OnSessionChange) OnSessionChange(this, event_type);
}

bool TService::DoCustomControl(DWORD, DWORD) { return true; }
