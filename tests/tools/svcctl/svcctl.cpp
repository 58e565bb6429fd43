// svcctl: queries and controls a service, for the end-to-end tests.
//   svcctl qc NAME            configuration, one "key=value" per line
//   svcctl failure NAME       failure actions: "reset=S" and one "action=TYPE/DELAY" per action
//   svcctl query NAME         current status
//   svcctl control NAME CODE  sends a control code, then prints the status
//   svcctl process NAME MS    the service's process: "pid=N", then "exit=0xCODE" once it
//                             has ended, or "exit=running" after waiting MS milliseconds
//   svcctl post NAME CODE TYPE  posts the request message (0x401, CODE, TYPE) to every
//                             thread of the service's process, as any process on the
//                             desktop can: "posted=N"
//   svcctl close CLASS        sends WM_CLOSE to the top-level window of that class:
//                             "closed=0|1"
//   svcctl text CODE          the system's text for an error number
// Exit code 0 on success, otherwise the Windows error number (and the error on
// stderr).
#include <windows.h>
#include <tlhelp32.h>
#include <winsvc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/scoped.h"
#include "tests/common/time_scale.h"

namespace {

int fail(const char* what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "%s failed: error %lu\n", what, error);
  return error == 0 ? 1 : static_cast<int>(error);
}

void print_status(const SERVICE_STATUS& status) {
  std::printf("type=0x%lX\nstate=%lu\ncontrols=0x%lX\nexit=%lu\ncheckpoint=%lu\nwaithint=%lu\n",
              status.dwServiceType, status.dwCurrentState, status.dwControlsAccepted, status.dwWin32ExitCode,
              status.dwCheckPoint, status.dwWaitHint);
}

// Wine returns the dependencies of QueryServiceConfigA empty; the registry
// holds them, reliably only up to the first entry. What follows is whatever
// memory lay behind the list in the installing process, kilobytes of it at
// times: the value is read whole, whatever its size.
std::string first_registry_dependency(const char* name) {
  const std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\") + name;
  HKEY raw_key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &raw_key) != ERROR_SUCCESS)
    return "";
  const ScopedRegistryKey key(raw_key);
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), "DependOnService", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return "";
  std::vector<char> value(size + 1, '\0');
  if (RegQueryValueExA(key.get(), "DependOnService", nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()),
                       &size) != ERROR_SUCCESS)
    return "";
  return value.data();  // up to the first NUL
}

int query_config(SC_HANDLE service, const char* name) {
  DWORD needed = 0;
  QueryServiceConfigA(service, nullptr, 0, &needed);
  std::vector<char> buffer(needed + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(service, config, needed, &needed)) return fail("QueryServiceConfigA");
  std::printf("type=0x%lX\nstart=%lu\nerror=%lu\npath=%s\ngroup=%s\ntag=%lu\naccount=%s\ndisplay=%s\n",
              config->dwServiceType, config->dwStartType, config->dwErrorControl, config->lpBinaryPathName,
              config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "", config->dwTagId,
              config->lpServiceStartName ? config->lpServiceStartName : "",
              config->lpDisplayName ? config->lpDisplayName : "");
  std::printf("depend=%s\n", first_registry_dependency(name).c_str());

  needed = 0;
  QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> description_buffer(needed + sizeof(SERVICE_DESCRIPTIONA));
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(description_buffer.data());
  if (!QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, description_buffer.data(),
                            static_cast<DWORD>(description_buffer.size()), &needed))
    return fail("QueryServiceConfig2A");
  std::printf("description=%s\n", description->lpDescription ? description->lpDescription : "");
  return 0;
}

int query_failure_actions(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + sizeof(SERVICE_FAILURE_ACTIONSA));
  if (!QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed))
    return fail("QueryServiceConfig2A");
  const auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
  static const char* const kTypes[] = {"none", "restart", "reboot", "command"};
  std::printf("reset=%lu\n", actions->dwResetPeriod);
  for (DWORD i = 0; i < actions->cActions; ++i) {
    const SC_ACTION& action = actions->lpsaActions[i];
    std::printf("action=%s/%lu\n", action.Type <= SC_ACTION_RUN_COMMAND ? kTypes[action.Type] : "?",
                action.Delay);
  }
  return 0;
}

// The process of the service, also after its end for as long as someone
// (Wine's service control manager, for one) holds a handle to it.
int query_process(SC_HANDLE service, DWORD wait_ms) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed))
    return fail("QueryServiceStatusEx");
  std::printf("pid=%lu\n", status.dwProcessId);
  const ScopedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, status.dwProcessId));
  if (!process) return fail("OpenProcess");
  DWORD code = 0;
  if (WaitForSingleObject(process.get(), wait_ms) != WAIT_OBJECT_0) {
    std::printf("exit=running\n");
  } else if (GetExitCodeProcess(process.get(), &code)) {
    std::printf("exit=0x%08lX\n", code);
  } else {
    return fail("GetExitCodeProcess");
  }
  return 0;
}

// What any process on the desktop can do: post to every thread of the service.
int post_to_threads(SC_HANDLE service, WPARAM code, LPARAM event_type) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed))
    return fail("QueryServiceStatusEx");
  const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread = {sizeof thread, 0, 0, 0, 0, 0, 0};
  int posted = 0;
  for (BOOL more = Thread32First(snapshot.get(), &thread); more; more = Thread32Next(snapshot.get(), &thread))
    posted += thread.th32OwnerProcessID == status.dwProcessId &&
              PostThreadMessageA(thread.th32ThreadID, WM_USER + 1, code, event_type);
  std::printf("posted=%d\n", posted);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: svcctl qc|failure|query|control|process|post|close NAME [CODE|MS] [TYPE] | text CODE\n");
    return 2;
  }
  const std::string command = argv[1];
  if (command == "text") {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   std::strtoul(argv[2], nullptr, 0), 0, text, sizeof text, nullptr);
    std::printf("%s", text);
    return 0;
  }
  if (command == "close") {
    HWND window = FindWindowA(argv[2], nullptr);
    DWORD_PTR result = 0;
    if (window == nullptr) {
      std::printf("closed=0 (no window)\n");
      return 0;
    }
    if (SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL, static_cast<UINT>(scaled_milliseconds(5000)),
                            &result) == 0) {
      std::printf("closed=0 (error %lu)\n", GetLastError());
      return 0;
    }
    std::printf("closed=1\n");
    return 0;
  }
  const char* name = argv[2];
  const ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return fail("OpenSCManagerA");
  const ScopedServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
  if (!service) return fail("OpenServiceA");

  if (command == "qc") return query_config(service.get(), name);
  if (command == "failure") return query_failure_actions(service.get());
  if (command == "post" && argc == 5)
    return post_to_threads(service.get(), std::strtoul(argv[3], nullptr, 0),
                           static_cast<LPARAM>(std::strtoul(argv[4], nullptr, 0)));
  if (command == "process" && argc == 4)
    return query_process(service.get(), std::strtoul(argv[3], nullptr, 0));
  SERVICE_STATUS status = {};
  if (command == "query") {
    if (!QueryServiceStatus(service.get(), &status)) return fail("QueryServiceStatus");
  } else if (command == "control" && argc == 4) {
    if (!ControlService(service.get(), std::strtoul(argv[3], nullptr, 0), &status))
      return fail("ControlService");
  } else {
    std::fprintf(stderr, "unknown command %s\n", command.c_str());
    return 2;
  }
  print_status(status);
  return 0;
}
