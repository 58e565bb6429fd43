// The service module xvVistrell: its registration values, its construction
// and its lifecycle handlers.
#pragma once

#include <windows.h>

#include <string>

#include "service/service_base.h"

// The hot-plug watcher that tells the service about the diagnostic adapter.
class TNotify;

// Custom control codes, delivered only inside the process by the watcher.
constexpr DWORD CONTROL_ADAPTER_ATTACHED = 1034;
constexpr DWORD CONTROL_ADAPTER_DETACHED = 1035;

extern const char kServiceDescription[];

class TxvVistrell : public TService {
 public:
  explicit TxvVistrell(TServiceHost* owner);
  ~TxvVistrell() override;

  void ServiceStart(TService* sender, bool& started);
  void ServiceExecute(TService* sender);
  void ServiceStop(TService* sender, bool& stopped);

  bool DoCustomControl(DWORD code, DWORD event_type) override;
  LPHANDLER_FUNCTION_EX GetServiceController() override;

  TNotify* notify = nullptr;
  bool user_logged_in = false;

 private:
  void process_command_line_arguments();
};

// The process's one module, set when the process entry creates it and cleared
// when it is destroyed.
extern TxvVistrell* xvVistrell;

// The control-request entry: hands every request to the module's Controller
// and returns at once. A request that comes when there is no module is
// dropped.
DWORD WINAPI ServiceController(DWORD code, DWORD event_type, LPVOID event_data, LPVOID context);

// Windows XP (5.1) or later.
bool windows_version_qualifies(DWORD major, DWORD minor);
// The "Windows:" block of the trace log.
std::string windows_version_block(const OSVERSIONINFOA& version);
