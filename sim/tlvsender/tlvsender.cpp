// Stand-in for the Telvane sender service: a service named "tlvsender" that
// runs until it is stopped, so that xvVistrell's dependency can be met.
#include <windows.h>
#include <winsvc.h>

#include "common/scoped.h"

namespace {

char service_name[] = "tlvsender";
SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;

void report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control_handler(DWORD code, DWORD, LPVOID, LPVOID) {
  if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) SetEvent(stop_event);
  return NO_ERROR;
}

void WINAPI service_main(DWORD, LPSTR*) {
  const ScopedHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  stop_event = stop.get();
  status_handle = RegisterServiceCtrlHandlerExA(service_name, control_handler, nullptr);
  if (status_handle == nullptr || !stop) return;
  report(SERVICE_RUNNING);
  WaitForSingleObject(stop.get(), INFINITE);
  report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  const SERVICE_TABLE_ENTRYA table[] = {{service_name, service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
