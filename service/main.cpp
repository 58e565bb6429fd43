#include "service/main.h"

#include <mutex>
#include <vector>

#include "common/errors.h"
#include "trace/trace_log.h"

namespace {

OSVERSIONINFOA read_windows_version() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return version;
}

// Read once, at process start.
const OSVERSIONINFOA running_windows = read_windows_version();

// Guards the module reference between ServiceController on the dispatcher or
// watcher thread and the module's destruction at process exit. Never
// destroyed, so a late caller still finds it.
std::mutex& module_reference_lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
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
  trace_timed(windows_version_block(running_windows), 1);
  started = true;
  if (!windows_version_qualifies(running_windows.dwMajorVersion, running_windows.dwMinorVersion)) {
    LogMessage("Windows XP or later required", EVENTLOG_ERROR_TYPE);
    trace("Windows XP or later required", 1);
    started = false;
  }
  if (started) {
    LogMessage("Started XV Vistrell", EVENTLOG_INFORMATION_TYPE);
    trace_timed("Started XV Vistrell", 1);
  }
  trace("<< ServiceStart", 2);
}

void TxvVistrell::process_command_line_arguments() {
  trace(">> process_command_line_arguments", 2);
  std::vector<std::string> parameters;
  for (int i = 0; i < ParamCount(); ++i) parameters.push_back(Param(i));
  parse_trace_options(&parameters);
  trace("<< process_command_line_arguments", 2);
}

void TxvVistrell::ServiceExecute(TService*) {
  trace(">> ServiceExecute", 2);
  while (!Terminated()) ProcessRequests(true);
  trace("<< ServiceExecute", 2);
}

void TxvVistrell::ServiceStop(TService*, bool& stopped) {
  trace(">> ServiceStop", 2);
  LogMessage("Stopped XV Vistrell", EVENTLOG_INFORMATION_TYPE);
  trace_timed("Stopped XV Vistrell", 1);
  stopped = true;
  trace("<< ServiceStop", 2);
}

bool TxvVistrell::DoCustomControl(DWORD code, DWORD event_type) {
  trace(">> DoCustomControl", 2);
  bool handled = true;
  if (code == CONTROL_ADAPTER_ATTACHED)
    trace_timed("Diagnostic adapter attached", 1);
  else if (code == CONTROL_ADAPTER_DETACHED)
    trace_timed("Diagnostic adapter detached", 1);
  else
    handled = TService::DoCustomControl(code, event_type);
  trace("<< DoCustomControl", 2);
  return handled;
}
