// A service that does nothing: the yardstick the benchmark measures the
// product against. It reports running, stays blocked until it is told to
// stop, and reports stopped; built with the product's toolchain and options.
// Built with XV_REF_MESSAGE_WINDOW, it first creates a message-only window,
// which starts the window system as the product's window message loop does.
#include <windows.h>
#include <winsvc.h>

#include "common/scoped.h"

namespace {

char kServiceName[] = XV_REF_SERVICE_NAME;

struct Run {
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  HANDLE stop = nullptr;
};
Run run;

void report_state(DWORD state, DWORD accepted) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  status.dwWaitHint = state == SERVICE_STOPPED || state == SERVICE_RUNNING ? 0 : 5000;
  SetServiceStatus(run.status_handle, &status);
}

DWORD WINAPI on_request(DWORD request, DWORD, LPVOID, LPVOID) {
  if (request == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  if (request != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  report_state(SERVICE_STOP_PENDING, 0);
  SetEvent(run.stop);
  return NO_ERROR;
}

void WINAPI serve(DWORD, LPSTR*) {
  const ScopedHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  run.stop = stop.get();
  run.status_handle = RegisterServiceCtrlHandlerExA(kServiceName, on_request, nullptr);
  if (run.status_handle == nullptr) return;
  if (!stop) {
    report_state(SERVICE_STOPPED, 0);
    return;
  }
  report_state(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
  WaitForSingleObject(stop.get(), INFINITE);
  report_state(SERVICE_STOPPED, 0);
}

#ifdef XV_REF_MESSAGE_WINDOW
// A message-only window; null when the window system refuses one, which still
// costs its start.
HWND create_message_window() {
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "xvRefServiceWindow";
  RegisterClassA(&window_class);
  return CreateWindowExA(0, window_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         window_class.hInstance, nullptr);
}
#endif

}  // namespace

int main() {
#ifdef XV_REF_MESSAGE_WINDOW
  const ScopedClosedBy<HWND> window(create_message_window(), DestroyWindow);
#endif
  SERVICE_TABLE_ENTRYA services[] = {{kServiceName, serve}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(services) ? 0 : static_cast<int>(GetLastError());
}
