// The service module xvVistrell: its registration values, its construction,
// its lifecycle handlers, the display policy and the session handling.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/control_codes.h"
#include "service/service_base.h"

// The hot-plug watcher that tells the service about the diagnostic adapter.
class TNotify;

extern const char kServiceDescription[];

class TxvVistrell : public TService {
 public:
  explicit TxvVistrell(TServiceHost* owner);
  ~TxvVistrell() override;

  void ServiceStart(TService* sender, bool& started);
  void ServiceExecute(TService* sender);
  void ServiceStop(TService* sender, bool& stopped);
  void ServiceSessionChange(TService* sender, DWORD event_type);

  bool DoCustomControl(DWORD code, DWORD event_type) override;
  LPHANDLER_FUNCTION_EX GetServiceController() override;

  // The display policy: leaves the display alone while a user is logged in;
  // with the diagnostic adapter attached sets the session protocol "RDP" and a
  // 1024 x 768 desktop; otherwise sets "TLV" and puts the ATI adapter into
  // clone mode. Text errors end the run and are traced.
  void enable_clone_mode();
  // True when the firmware reports the adapter "Present"; the default when
  // the firmware cannot be read.
  bool is_dongle_attached(bool default_answer);
  // Changes the desktop resolution on the input desktop, unless the virtual
  // screen already has that size.
  void set_resolution(std::int32_t width, std::int32_t height);

  // The firmware's session protocol; empty when it cannot be read.
  std::string remote_session_protocol();
  // Writes the session protocol, then reads it back up to polls times, 100 ms
  // apart, serving queued requests before each pause.
  void set_session_protocol(const std::string& value, std::int32_t polls);

  // The running watcher, shared with the watcher's own thread, so a
  // terminate request after the thread has ended finds a live object.
  std::shared_ptr<TNotify> notify;
  bool user_logged_in = false;

 private:
  void process_command_line_arguments();
};

// What a session-change event means to the module: its message, what it does
// to user_logged_in and whether it runs the display policy.
enum class LoggedInChange { set, clear, keep };
struct SessionEvent {
  const char* message;
  LoggedInChange logged_in;
  bool runs_policy;
};
SessionEvent session_event(DWORD event_type);

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
