// The service base: every service module derives from TService. It registers
// the control handler, runs the module's handlers on one service thread of its
// own, carries each control request to that thread as a thread message,
// reports every change of state to the service control manager and writes
// event-log entries.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/scoped.h"
#include "service/request_queue.h"

// The state last set, in the order of the platform's SERVICE_* values (1 to 7).
enum TCurrentStatus {
  csStopped,
  csStartPending,
  csStopPending,
  csRunning,
  csContinuePending,
  csPausePending,
  csPaused
};

enum TServiceType { stWin32, stDevice, stFileSystem };
enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

// One service the service depends on; a group is a load-order group.
struct TDependency {
  std::string Name;
  bool IsGroup = false;
};

// The thread message that wakes the service thread for the control requests
// queued: first parameter the control code, second the event type of the
// request it was posted for. Any process can post it, so the thread serves
// the queued requests, never the message's parameters.
constexpr UINT kRequestMessage = WM_USER + 1;

// The platform's state value of a TCurrentStatus (SERVICE_STOPPED ...).
DWORD state_value(TCurrentStatus status);

// "Service failed on %s: %s" for codes 1 to 5 (stop, pause, continue,
// interrogate, shutdown); "Service failed in custom message(%d): %s" for
// every other code.
std::string request_failure_text(DWORD code, const std::string& message);
// "Service failed on %s: %s".
std::string action_failure_text(const std::string& action, const std::string& message);

// The names, then NUL after each and one more NUL; "+" marks a group.
// No entries give an empty string.
std::string dependency_list(const std::vector<TDependency>& dependencies);

// The full path of the running executable.
std::string executable_path();

// The owner of the service modules: how many it holds, and its deferred
// application initialisation.
class TServiceHost {
 public:
  virtual ~TServiceHost() = default;
  virtual int ServiceCount() const = 0;
  virtual bool DelayInitialize() const = 0;
  virtual void InitializeApplication() = 0;
};

// An event-log writer for one source. The source is registered with the first
// entry; a failed registration is tried again with the next one.
class TEventLogger {
 public:
  explicit TEventLogger(std::string source);
  TEventLogger(const TEventLogger&) = delete;
  TEventLogger& operator=(const TEventLogger&) = delete;

  void LogMessage(const std::string& message, WORD event_type = EVENTLOG_ERROR_TYPE, WORD category = 0,
                  DWORD id = 0);
  const std::string& source() const { return source_; }

 private:
  std::string source_;
  std::optional<ScopedClosedBy<HANDLE>> handle_;
};

class TService;

// The service thread: created suspended, runs the service's thread body.
class TServiceThread {
 public:
  // The stack reserved for the thread: room for the deepest nesting of
  // requests with a policy run at the bottom (see kMaxNestedRequests).
  static constexpr unsigned kStackSize = 1024 * 1024;

  explicit TServiceThread(TService& service);  // raises the OS error on failure
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  void Resume();
  void WaitFor();
  bool Terminated() const { return terminated_; }
  void Terminate() { terminated_ = true; }

 private:
  static unsigned __stdcall run(void* self);

  TService& service_;
  std::atomic<bool> terminated_{false};
  ScopedHandle handle_;
};

class TService {
 public:
  using TStartEvent = std::function<void(TService* sender, bool& started)>;
  using TStopEvent = std::function<void(TService* sender, bool& stopped)>;
  using TPauseEvent = std::function<void(TService* sender, bool& paused)>;
  using TContinueEvent = std::function<void(TService* sender, bool& continued)>;
  using TServiceEvent = std::function<void(TService* sender)>;
  using TSessionChangeEvent = std::function<void(TService* sender, DWORD event_type)>;

  // host may be null: a service on its own.
  TService(TServiceHost* host, std::string name);
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  // The service's main function: registers the control handler and runs the
  // service until it has ended.
  void Main(DWORD argc, char** argv);
  // Queues one control request for the service thread and wakes it; returns
  // at once. Without a service thread that accepts requests the request is
  // dropped. When the wake-up cannot be posted (a full message queue) the
  // request stays queued, the failure goes to the trace log (level 1), and
  // the next message the service thread takes has it served.
  void Controller(DWORD code, DWORD event_type, void* event_data);
  // Serves the queued requests on the service thread, oldest first, one at a
  // time: with wait, waking at each message until the thread is told to end;
  // without, what is queued now. A handler that serves requests itself nests
  // them on the service thread's stack; beyond kMaxNestedRequests requests in
  // service, serving without waiting leaves the queue alone, and the requests
  // are served in order once the nested handlers have returned.
  void ProcessRequests(bool wait);
  static constexpr int kMaxNestedRequests = 64;
  bool Terminated() const;

  void LogMessage(const std::string& message, WORD event_type = EVENTLOG_ERROR_TYPE, WORD category = 0,
                  DWORD id = 0);

  int ParamCount() const { return static_cast<int>(Params.size()); }
  const std::string& Param(int index) const { return Params.at(static_cast<std::size_t>(index)); }

  TCurrentStatus Status() const { return status_; }
  void SetStatus(TCurrentStatus status);

  // Interactive and an account exclude each other.
  bool Interactive() const { return interactive_; }
  void SetInteractive(bool interactive);
  const std::string& ServiceStartName() const { return service_start_name_; }
  void SetServiceStartName(const std::string& name);
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& password);

  // The values for the service control manager.
  DWORD service_type_value() const;
  DWORD start_type_value() const;
  DWORD error_control_value() const;
  DWORD controls_accepted_value() const;

  std::string Name;
  std::string DisplayName;
  std::string Description;
  std::vector<std::string> Params;
  std::vector<TDependency> Dependencies;
  std::string LoadGroup;
  TServiceType ServiceType = stWin32;
  TStartType StartType = stAuto;
  TErrorSeverity ErrorSeverity = esNormal;
  DWORD TagID = 0;
  DWORD WaitHint = 5000;
  bool AllowStop = true;
  bool AllowPause = true;

  TStartEvent OnStart;
  TServiceEvent OnExecute;
  TStopEvent OnStop;
  TPauseEvent OnPause;
  TContinueEvent OnContinue;
  TServiceEvent OnShutdown;
  TSessionChangeEvent OnSessionChange;
  TServiceEvent BeforeInstall;
  TServiceEvent AfterInstall;
  TServiceEvent BeforeUninstall;
  TServiceEvent AfterUninstall;

 protected:
  virtual void DoStart();
  virtual bool DoStop();
  virtual bool DoPause();
  virtual bool DoContinue();
  virtual void DoInterrogate();
  virtual void DoShutdown();
  virtual void DoSessionChange(DWORD event_type);
  virtual bool DoCustomControl(DWORD code, DWORD event_type);
  virtual LPHANDLER_FUNCTION_EX GetServiceController() = 0;

 private:
  friend class TServiceThread;

  void ReportStatus();
  void run_service_thread();
  bool serve_queued_requests(bool wait);
  void serve_request(DWORD code, DWORD event_type);
  bool dispatch_request(DWORD code, DWORD event_type);
  void accept_requests(DWORD thread_id);
  void suspend_service_thread();
  void terminate_service_thread();

  // Pointer-sized and larger members first and the small ones last, so the
  // 16-byte alignment of the request queue costs no padding on x64.
  TServiceHost* host_;
  std::string service_start_name_;
  std::string password_;
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
  std::unique_ptr<TServiceThread> service_thread_;
  std::unique_ptr<TEventLogger> event_logger_;
  // Pause: the service thread waits for the resume event; Controller sets it.
  ScopedHandle resume_event_;

  // Controller runs on other threads: it posts only to a service thread that
  // has its queue and has not finished, so a late request never reaches an
  // ended thread or another thread that reuses its id. Its lock also keeps
  // the requests of different callers in the order it queues them.
  std::mutex request_lock_;
  TRequestQueue requests_;
  DWORD request_thread_id_ = 0;

  TCurrentStatus status_ = csStopped;
  TCurrentStatus last_state_ = csStartPending;
  DWORD last_checkpoint_ = 0;
  // Requests in service on the service thread, nested ones included.
  int requests_in_service_ = 0;
  bool interactive_ = false;
  std::atomic<bool> suspended_{false};
};
