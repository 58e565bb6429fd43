// Custom action of the Windows Installer package, xvVistrell_setup.dll (kept in
// the package's Binary table, never installed).
//
// ConfigureService (deferred, as the local system, right after the service is
// registered) first applies the rule of "xvVistrell.exe /install"
// (service/install_location.h) to the installed file: a folder that others
// can change (an INSTALLDIR such as C:\XV\, which inherits what C:\ lets
// users do) would hand them the service's account. A refusal goes into the
// installer's log with the text /install shows, and fails the installation,
// which the installer then rolls back. It then finishes what the installer's
// ServiceInstall row cannot say:
// - the image path: the installer registers the installed file's path as it
//   is, unquoted, under Wine's installer and Windows' alike; with a blank in
//   the path, Windows would first try to start C:\Program.exe. The service
//   gets the path that "xvVistrell.exe /install" gives it: quoted when it
//   holds a blank;
// - the failure actions of /install (crash/failure_actions.h), which the installer's
//   own table for them needs Windows Installer 5 (not on Windows XP) and
//   wixl cannot write.
// It also gives the service's dependencies again, the same as the
// ServiceInstall row: Windows keeps them when the list passed is null, but
// Wine's service control manager takes a null list as an empty one and would
// drop them.
// Its data (CustomActionData) is "service name|file path|dependency|...",
// each further field one dependency. A failure fails the installation, which
// the installer then rolls back.
//
// WaitForServiceStop (deferred, right after the installer's StopServices,
// before the service is deleted and its file removed or replaced): Wine's
// installer sends the stop control without waiting for the service to stop;
// Windows' waits until the service reports stopped, but its process may still
// run the file for a moment after that. Either way the file could still be in
// use, and Windows would replace it only at the next boot (3010), so that a
// restart would start the old program. Waits, at most 30 s in all, until the
// service has stopped, its process (when seen still running) has ended and
// the file can be opened for exclusive writing. Its data is the service name;
// a service that does not exist or does not stop in time is only logged.
//
// RememberRunningService (immediate, in maintenance runs: a repair, a
// change, a reinstall; and in a major upgrade, before RemoveExistingProducts
// removes the older product's service) and RestartService: the installer
// stops the service for the run and would leave it stopped, and a standard
// user may run a repair. The first sets XvRestartService when the service
// named by XvServiceName is running or on its way there; the second, given
// that name as its data, starts it again. It runs as a commit action once the
// run has committed, so no rollback meets it running; with rollback disabled
// (the DisableRollback policy or property) the installer runs no commit
// action, and the package runs it as a deferred action at the end of the
// script instead (both as the local system). A service that was stopped stays
// stopped, and a first installation never starts it. The start counts only
// once the service reports running: ERROR_SERVICE_ALREADY_RUNNING also comes
// while it is still stopping, and then it is started once it has stopped. A
// restart that fails is only logged: the files and the registration are in
// place.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/scoped.h"
#include "crash/failure_actions.h"
#include "packaging/image_release.h"
#include "service/install_location.h"

namespace {

const DWORD kStopTimeoutMs = 30 * 1000;
const DWORD kStopPollMs = 100;

struct MsiHandleTraits {
  using Value = MSIHANDLE;
  static Value empty() { return 0; }
  static void close(Value value) { MsiCloseHandle(value); }
};
// A record or other handle of the installer.
using ScopedMsiHandle = Scoped<MsiHandleTraits>;

std::string property(MSIHANDLE install, const char* name) {
  char empty[1] = "";
  DWORD size = 0;
  if (MsiGetPropertyA(install, name, empty, &size) != ERROR_MORE_DATA) return "";
  std::string value(size + 1, '\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyA(install, name, &value[0], &size) != ERROR_SUCCESS) return "";
  value.resize(size);
  return value;
}

// One line in the installer's log (msiexec /l*v).
void log_line(MSIHANDLE install, const std::string& text) {
  const ScopedMsiHandle record(MsiCreateRecord(1));
  if (!record) return;
  MsiRecordSetStringA(record.get(), 0, ("xvVistrell setup: " + text).c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

UINT fail(MSIHANDLE install, const std::string& what, DWORD error) {
  char number[16];
  std::snprintf(number, sizeof number, "%lu", error);
  log_line(install, what + " failed with error " + number);
  return ERROR_INSTALL_FAILURE;
}

// A failure that leaves the run successful.
UINT log_only(MSIHANDLE install, const std::string& what, DWORD error) {
  fail(install, what, error);
  return ERROR_SUCCESS;
}

// The '|'-separated fields of the action data, empty ones included.
std::vector<std::string> split_fields(const std::string& data) {
  std::vector<std::string> fields;
  std::string::size_type begin = 0;
  for (;;) {
    const std::string::size_type bar = data.find('|', begin);
    fields.push_back(data.substr(begin, bar == std::string::npos ? std::string::npos : bar - begin));
    if (bar == std::string::npos) return fields;
    begin = bar + 1;
  }
}

// The service's dependencies as ChangeServiceConfigA takes them: each name
// ended by a NUL, the whole list by one more.
std::string dependency_list(const std::vector<std::string>& fields) {
  std::string list;
  for (std::size_t i = 2; i < fields.size(); ++i) list += fields[i] + '\0';
  return list + '\0';
}

// What is left of the stop's 30 s since start (GetTickCount).
DWORD remaining(DWORD start) {
  const DWORD elapsed = GetTickCount() - start;
  return elapsed < kStopTimeoutMs ? kStopTimeoutMs - elapsed : 0;
}

// The program file of the service: its image path, without the quotes that
// ConfigureService puts around it (neither the package nor /install gives
// arguments); empty when the configuration cannot be read.
std::string image_file(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigA(service, nullptr, 0, &needed);
  if (needed == 0) return "";
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(service, config, needed, &needed) || config->lpBinaryPathName == nullptr)
    return "";
  std::string path = config->lpBinaryPathName;
  if (!path.empty() && path[0] == '"') return path.substr(1, path.find('"', 1) - 1);
  return path;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
  const std::string data = property(install, "CustomActionData");
  const std::vector<std::string> fields = split_fields(data);
  bool valid = fields.size() >= 2;
  for (const std::string& field : fields) valid = valid && !field.empty();
  if (!valid) return fail(install, "reading the action data [" + data + "]", ERROR_INVALID_DATA);
  const std::string& name = fields[0];
  try {
    check_install_place(fields[1]);
  } catch (const Exception& refusal) {
    log_line(install, refusal.message());
    return ERROR_INSTALL_FAILURE;
  }
  const std::string path = service_image_path(fields[1]);
  const std::string dependencies = dependency_list(fields);

  const ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail(install, "OpenSCManagerA", GetLastError());
  // A restart action needs the right to start the service.
  const ScopedServiceHandle service(
      OpenServiceA(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (!service) return fail(install, "OpenServiceA " + name, GetLastError());
  if (!ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            path.c_str(), nullptr, nullptr, dependencies.c_str(), nullptr, nullptr, nullptr))
    return fail(install, "ChangeServiceConfigA " + name, GetLastError());
  log_line(install, "image path of " + name + ": " + path);

  SERVICE_FAILURE_ACTIONSA failure_actions = service_failure_actions();
  if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions))
    return fail(install, "ChangeServiceConfig2A failure actions of " + name, GetLastError());
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RememberRunningService(MSIHANDLE install) {
  const std::string name = property(install, "XvServiceName");
  const ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ScopedServiceHandle service(manager ? OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS)
                                            : nullptr);
  SERVICE_STATUS status = {};
  if (!service || !QueryServiceStatus(service.get(), &status)) {
    log_line(install, "no state of the service " + name + " to keep");
    return ERROR_SUCCESS;
  }
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
    MsiSetPropertyA(install, "XvRestartService", "1");
    log_line(install, name + " runs: started again after this run");
  }
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RestartService(MSIHANDLE install) {
  const std::string name = property(install, "CustomActionData");
  const ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return log_only(install, "OpenSCManagerA", GetLastError());
  const ScopedServiceHandle service(
      OpenServiceA(manager.get(), name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
  if (!service) return log_only(install, "OpenServiceA " + name, GetLastError());
  const DWORD start = GetTickCount();
  while (!StartServiceA(service.get(), 0, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING) return log_only(install, "StartServiceA " + name, error);
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status))
      return log_only(install, "QueryServiceStatus " + name, GetLastError());
    if (status.dwCurrentState == SERVICE_RUNNING) break;
    // Still stopping (or starting): polled, as Windows XP has no notification.
    if (GetTickCount() - start >= kStopTimeoutMs)
      return log_only(install, "starting " + name + " (state " + std::to_string(status.dwCurrentState) + ")",
                      ERROR_SERVICE_REQUEST_TIMEOUT);
    Sleep(kStopPollMs);
  }
  log_line(install, name + " started again");
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceStop(MSIHANDLE install) {
  const std::string name = property(install, "CustomActionData");
  const ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail(install, "OpenSCManagerA", GetLastError());
  const ScopedServiceHandle service(
      OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) {
    log_line(install, "no service " + name + " to wait for");
    return ERROR_SUCCESS;
  }
  const std::string image = image_file(service.get());
  // Polled, as the installer itself does: Windows XP has no notification of
  // a service's state. The process is opened while it still runs: it ends a
  // moment after it reports the service stopped, and the file is in use
  // until then.
  ScopedHandle process;
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  const DWORD start = GetTickCount();
  while (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed)) {
    if (!process && status.dwProcessId != 0)
      process.reset(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    if (status.dwCurrentState == SERVICE_STOPPED || GetTickCount() - start >= kStopTimeoutMs) break;
    Sleep(kStopPollMs);
  }
  if (status.dwCurrentState != SERVICE_STOPPED) {
    log_line(install, "stop of " + name + " not confirmed within 30 s");
    return ERROR_SUCCESS;
  }
  if (process) WaitForSingleObject(process.get(), remaining(start));
  // Windows' StopServices returns only once the service reports stopped, so
  // the process was never seen there: the file tells instead.
  if (!image.empty() && !wait_for_image_release(image, remaining(start), kStopPollMs))
    log_line(install, image + " still in use 30 s after the stop of " + name);
  return ERROR_SUCCESS;
}
