#include "service/main.h"

#include <mutex>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/scoped.h"
#include "display/display_api.h"
#include "service/module_calls.h"
#include "trace/trace_log.h"

namespace {

// The firmware's sensor for the diagnostic adapter and its session-protocol
// setting.
const char kFirmwareNamespace[] = "root/XV/InstrumentedBIOS";
const char kDongleQuery[] = "SELECT CurrentState FROM XV_BIOSNumericSensor WHERE Name = 'Blade Dongle State'";
const char kDongleProperty[] = "CurrentState";
const char kDongleAttached[] = "Present";
const char kProtocolQuery[] =
    "select CurrentValue from XVBIOS_BIOSEnumeration where (Name = 'Remote Session Protocol')";
const char kProtocolProperty[] = "CurrentValue";
const char kSettingClass[] = "XV_BIOSSettingInterface";
const char kSettingMethod[] = "SetBIOSSetting";
const char kProtocolSetting[] = "Remote Session Protocol";

const std::int32_t kProtocolPolls = 20;
const DWORD kPollPauseMs = 100;
const std::int32_t kLocalWidth = 1024;
const std::int32_t kLocalHeight = 768;

const char kWindowsTooOld[] = "Windows XP or later required";
const char kStarted[] = "Started XV Vistrell";
const char kStopped[] = "Stopped XV Vistrell";

// Guards the module reference between ServiceController on the dispatcher or
// watcher thread and the module's destruction at process exit. Never
// destroyed, so a late caller still finds it.
std::mutex& module_reference_lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Releases the ATI library after a start that failed once it was loaded;
// the start's own error is the one that counts.
void release_ATI_library_after_failed_start() {
  try {
    module_calls().ATI_free_display_interface_functions();
  } catch (const Exception&) {
  } catch (const TextError&) {
  }
}

// The ANSI display-mode record with only the pixel width and height set.
DEVMODEA resolution_mode(std::int32_t width, std::int32_t height) {
  static_assert(sizeof(DEVMODEA) == 156, "the ANSI display-mode record of Windows XP");
  DEVMODEA mode = {};
  mode.dmSize = sizeof mode;
  mode.dmPelsWidth = static_cast<DWORD>(width);
  mode.dmPelsHeight = static_cast<DWORD>(height);
  mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
  return mode;
}

std::string resolution_text(std::int32_t width, std::int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Puts the thread back on its own desktop when the scope ends.
class ThreadDesktopRestorer {
 public:
  explicit ThreadDesktopRestorer(HDESK own) : own_(own) {}
  ~ThreadDesktopRestorer() { display_api().SetThreadDesktop(own_); }
  ThreadDesktopRestorer(const ThreadDesktopRestorer&) = delete;
  ThreadDesktopRestorer& operator=(const ThreadDesktopRestorer&) = delete;

 private:
  HDESK own_;
};

// Changes the resolution from the desktop that receives user input, then
// returns the thread to its own desktop and closes the input desktop, in
// that order: a desktop still in use by the thread cannot be closed.
void change_resolution_on_input_desktop(std::int32_t width, std::int32_t height) {
  const DisplayApi& api = display_api();
  DEVMODEA mode = resolution_mode(width, height);
  const HDESK own = api.GetThreadDesktop(GetCurrentThreadId());
  if (own == nullptr) throw TextError("Unable to get desktop for current thread");
  const ScopedDesktop input(api.OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED), api.CloseDesktop);
  const ThreadDesktopRestorer restorer(own);
  if (!input) throw TextError("Unable to get desktop where input is coming from");
  if (!api.SetThreadDesktop(input.get()))
    throw TextError("Unable to change desktop of current thread to desktop where input is coming from");

  const LONG result = api.ChangeDisplaySettingsA(&mode, 0);
  if (result == DISP_CHANGE_SUCCESSFUL || result == DISP_CHANGE_NOTUPDATED)
    trace_timed("Changed resolution to " + resolution_text(width, height), 1);
  else
    trace("Unable to change resolution to " + resolution_text(width, height) + " (" +
              format_hex(static_cast<std::uint32_t>(result)) + ")",
          1);
}

}  // namespace

const char kServiceDescription[] =
    "Enables the graphics controller to support horizontally and vertically doubled desktop resolutions "
    "when the Telvane Sender service is running and the diagnostic adapter is not connected.";

TxvVistrell* xvVistrell = nullptr;

bool windows_version_qualifies(DWORD major, DWORD minor) { return major > 5 || (major == 5 && minor >= 1); }

std::string windows_version_block(const OSVERSIONINFOA& version) {
  return "Windows:\n  Major version: " + std::to_string(version.dwMajorVersion) +
         "\n  Minor version: " + std::to_string(version.dwMinorVersion) +
         "\n  Build: " + std::to_string(version.dwBuildNumber) + "\n  CSD version: " + version.szCSDVersion;
}

TxvVistrell::TxvVistrell(TServiceHost* owner) : TService(owner, "xvVistrell") {
  AllowPause = false;
  Dependencies = {{"tlvsender", false}};
  SetInteractive(true);
  OnStart = [this](TService* sender, bool& started) { ServiceStart(sender, started); };
  OnExecute = [this](TService* sender) { ServiceExecute(sender); };
  OnStop = [this](TService* sender, bool& stopped) { ServiceStop(sender, stopped); };
  OnSessionChange = [this](TService* sender, DWORD event_type) { ServiceSessionChange(sender, event_type); };
  DisplayName = "XV Vistrell";
  Description = kServiceDescription;
  open_trace_log(executable_path());
}

TxvVistrell::~TxvVistrell() {
  std::lock_guard<std::mutex> lock(module_reference_lock());
  if (xvVistrell == this) xvVistrell = nullptr;
}

LPHANDLER_FUNCTION_EX TxvVistrell::GetServiceController() { return ServiceController; }

DWORD WINAPI ServiceController(DWORD code, DWORD event_type, LPVOID event_data, LPVOID) {
  trace(">> ServiceController", 2);
  {
    std::lock_guard<std::mutex> lock(module_reference_lock());
    if (xvVistrell != nullptr) xvVistrell->Controller(code, event_type, event_data);
  }
  trace("<< ServiceController", 2);
  return NO_ERROR;
}

void TxvVistrell::ServiceStart(TService*, bool& started) {
  trace(">> ServiceStart", 2);
  write_trace_header(executable_path());
  process_command_line_arguments();
  const OSVERSIONINFOA& version = module_calls().windows_version();
  trace_timed(windows_version_block(version), 1);
  started = true;
  if (!windows_version_qualifies(version.dwMajorVersion, version.dwMinorVersion)) {
    LogMessage(kWindowsTooOld, EVENTLOG_ERROR_TYPE);
    trace(kWindowsTooOld, 1);
    started = false;
  } else {
    try {
      module_calls().ATI_load_display_interface_functions();
      try {
        notify = module_calls().create_watcher(false, ServiceController);
      } catch (...) {
        release_ATI_library_after_failed_start();
        throw;
      }
    } catch (const TextError& error) {
      LogMessage(error.text(), EVENTLOG_ERROR_TYPE);
      trace(error.text(), 1);
      started = false;
    }
    if (started) {
      LogMessage(kStarted, EVENTLOG_INFORMATION_TYPE);
      trace_timed(kStarted, 1);
    }
  }
  trace("<< ServiceStart", 2);
}

void TxvVistrell::process_command_line_arguments() {
  trace(">> process_command_line_arguments", 2);
  std::vector<std::string> parameters;
  parameters.reserve(ParamCount());
  for (int i = 0; i < ParamCount(); ++i) parameters.push_back(Param(i));
  parse_trace_options(&parameters);
  trace("<< process_command_line_arguments", 2);
}

void TxvVistrell::ServiceExecute(TService*) {
  trace(">> ServiceExecute", 2);
  enable_clone_mode();
  while (!Terminated()) ProcessRequests(true);
  trace("<< ServiceExecute", 2);
}

void TxvVistrell::ServiceStop(TService*, bool& stopped) {
  trace(">> ServiceStop", 2);
  try {
    // The watcher ends after its next event; nobody waits for it, and the
    // request is harmless when it has ended already.
    if (notify) notify->Terminate();
    module_calls().ATI_free_display_interface_functions();
  } catch (const TextError& error) {
    LogMessage(error.text(), EVENTLOG_ERROR_TYPE);
    trace(error.text(), 1);
  }
  LogMessage(kStopped, EVENTLOG_INFORMATION_TYPE);
  trace_timed(kStopped, 1);
  stopped = true;
  trace("<< ServiceStop", 2);
}

bool TxvVistrell::DoCustomControl(DWORD code, DWORD event_type) {
  trace(">> DoCustomControl", 2);
  bool handled = true;
  if (code == CONTROL_ADAPTER_ATTACHED) {
    trace_timed("Diagnostic adapter attached", 1);
    enable_clone_mode();
  } else if (code == CONTROL_ADAPTER_DETACHED) {
    trace_timed("Diagnostic adapter detached", 1);
    enable_clone_mode();
  } else {
    handled = TService::DoCustomControl(code, event_type);
  }
  trace("<< DoCustomControl", 2);
  return handled;
}

void TxvVistrell::enable_clone_mode() {
  trace(">> enable_clone_mode", 2);
  try {
    if (user_logged_in) {
      trace_timed("A user is logged in, so nothing was changed", 1);
    } else if (is_dongle_attached(true)) {
      trace_timed("Cannot enable clone mode because local diagnostics adapter is connected", 1);
      set_session_protocol("RDP", kProtocolPolls);
      set_resolution(kLocalWidth, kLocalHeight);
    } else {
      set_session_protocol("TLV", kProtocolPolls);
      module_calls().ATI_enable_clone_mode();
    }
  } catch (const TextError& error) {
    // Also the ordinary ends of a run ("..., we're done").
    trace(error.text(), 1);
  }
  trace("<< enable_clone_mode", 2);
}

bool TxvVistrell::is_dongle_attached(bool default_answer) {
  trace(">> is_dongle_attached", 2);
  bool attached = default_answer;
  try {
    attached = module_calls().WMI_read_property(kFirmwareNamespace, kDongleQuery, kDongleProperty) ==
               kDongleAttached;
  } catch (const Exception& error) {
    LogMessage(error.message(), EVENTLOG_ERROR_TYPE);
    trace(error.message(), 1);
  }
  trace("<< is_dongle_attached", 2);
  return attached;
}

void TxvVistrell::set_resolution(std::int32_t width, std::int32_t height) {
  trace(">> set_resolution", 2);
  const DisplayApi& api = display_api();
  if (width != api.GetSystemMetrics(SM_CXVIRTUALSCREEN) ||
      height != api.GetSystemMetrics(SM_CYVIRTUALSCREEN)) {
    try {
      change_resolution_on_input_desktop(width, height);
    } catch (const TextError& error) {
      trace(error.text(), 1);
    }
  }
  trace("<< set_resolution", 2);
}

SessionEvent session_event(DWORD event_type) {
  switch (event_type) {
    case WTS_CONSOLE_CONNECT:
      return {"Console Connect", LoggedInChange::set, false};
    case WTS_CONSOLE_DISCONNECT:
      return {"Console Disconnect", LoggedInChange::clear, true};
    case WTS_REMOTE_CONNECT:
      return {"Remote Connect", LoggedInChange::set, false};
    case WTS_REMOTE_DISCONNECT:
      return {"Remote Disconnect", LoggedInChange::clear, true};
    case WTS_SESSION_LOGON:
      return {"Session Logon", LoggedInChange::set, false};
    case WTS_SESSION_LOGOFF:
      return {"Session Logoff", LoggedInChange::clear, true};
    case WTS_SESSION_LOCK:  // a locked session counts as nobody logged in
      return {"Session Lock", LoggedInChange::clear, true};
    case WTS_SESSION_UNLOCK:
      return {"Session unlock", LoggedInChange::set, false};
    case WTS_SESSION_REMOTE_CONTROL:
      return {"Remote Control", LoggedInChange::keep, false};
    default:
      return {"Unknown SessionChange", LoggedInChange::keep, false};
  }
}

void TxvVistrell::ServiceSessionChange(TService*, DWORD event_type) {
  trace(">> ServiceSessionChange", 2);
  trace_timed("Current session protocol is " + remote_session_protocol(), 1);
  const SessionEvent event = session_event(event_type);
  trace_timed(event.message, 1);
  if (event.logged_in != LoggedInChange::keep) user_logged_in = event.logged_in == LoggedInChange::set;
  if (event.runs_policy) enable_clone_mode();
  trace_timed("\"New\" session protocol is " + remote_session_protocol(), 1);
  trace("<< ServiceSessionChange", 2);
}

std::string TxvVistrell::remote_session_protocol() {
  trace(">> remote_session_protocol", 2);
  std::string value;
  try {
    value = module_calls().WMI_read_property(kFirmwareNamespace, kProtocolQuery, kProtocolProperty);
  } catch (const Exception& error) {
    trace(error.message(), 1);
  }
  trace("<< remote_session_protocol", 2);
  return value;
}

void TxvVistrell::set_session_protocol(const std::string& value, std::int32_t polls) {
  trace(">> set_session_protocol", 2);
  try {
    trace_timed("Set session protocol to " + value, 1);
    module_calls().WMI_write_property(kFirmwareNamespace, kSettingClass, kSettingMethod, kProtocolSetting,
                                      value);
    bool taken = false;
    for (std::int32_t poll = 0; poll < polls && !taken; ++poll) {
      // The firmware takes its time: meanwhile the service thread serves the
      // requests that have queued up, possibly a stop or another policy run.
      ProcessRequests(false);
      module_calls().Sleep(kPollPauseMs);
      taken = remote_session_protocol() == value;
    }
    if (polls > 0 && !taken) trace("Timed out waiting for session protocol to be set", 1);
  } catch (const Exception& error) {
    trace(error.message(), 1);
  }
  trace("<< set_session_protocol", 2);
}
