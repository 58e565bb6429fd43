// svctimer: times a service's start or stop as the service control manager
// sees it, for the benchmark.
//   svctimer start NAME [PARAMETERS...]  StartService, then the time until the
//                                        service leaves "start pending"
//   svctimer stop NAME                   stop request, then the time until the
//                                        service reports "stopped"
// Prints "state=N ms=M.MMM" (the state reached and the milliseconds taken).
// Exit code 0 on success, otherwise the Windows error number.
#include <windows.h>
#include <winsvc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/scoped.h"

namespace {

int fail(const char* what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "%s failed: error %lu\n", what, error);
  return error == 0 ? 1 : static_cast<int>(error);
}

double now_ms() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Polls every millisecond until the service's state is settled: anything
// but start pending after a start, stopped after a stop. A measuring tool
// may poll; the product never does.
int time_until_settled(SC_HANDLE service, bool starting, double started) {
  SERVICE_STATUS status = {};
  for (;;) {
    if (!QueryServiceStatus(service, &status)) return fail("QueryServiceStatus");
    const DWORD state = status.dwCurrentState;
    if (starting ? state != SERVICE_START_PENDING : state == SERVICE_STOPPED) break;
    Sleep(1);
  }
  std::printf("state=%lu ms=%.3f\n", status.dwCurrentState, now_ms() - started);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: svctimer start NAME [PARAMETERS...] | stop NAME\n");
    return 2;
  }
  const std::string command = argv[1];
  const ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return fail("OpenSCManagerA");
  const ScopedServiceHandle service(OpenServiceA(manager.get(), argv[2], SERVICE_ALL_ACCESS));
  if (!service) return fail("OpenServiceA");

  const double started = now_ms();
  if (command == "start") {
    std::vector<const char*> parameters(argv + 3, argv + argc);
    if (!StartServiceA(service.get(), static_cast<DWORD>(parameters.size()),
                       parameters.empty() ? nullptr : parameters.data()))
      return fail("StartServiceA");
    return time_until_settled(service.get(), true, started);
  }
  if (command == "stop" && argc == 3) {
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return fail("ControlService");
    return time_until_settled(service.get(), false, started);
  }
  std::fprintf(stderr, "unknown command %s\n", command.c_str());
  return 2;
}
