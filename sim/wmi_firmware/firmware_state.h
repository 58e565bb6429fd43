// What the stand-in firmware knows, shared by every process of one Wine
// prefix: the provider DLL inside the service or a test, the control tool and
// the tests themselves. It lives in a file mapped from the prefix's Windows
// folder, so it outlasts the process that set it, and is guarded by a named
// mutex. Subscriptions to the hot-plug event wait on named events, one per
// subscription slot.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/scoped.h"

namespace wmisim {

// A property value as the firmware holds it: a text or null.
struct Value {
  bool null = false;
  std::wstring text;
};
Value text_value(const std::wstring& text);
Value null_value();

// The steps of the provider whose failure can be switched on.
enum class Step {
  create,              // the locator's class factory
  connect,             // IWbemLocator::ConnectServer
  blanket,             // IClientSecurity::SetBlanket (CoSetProxyBlanket)
  query,               // IWbemServices::ExecQuery
  notification_query,  // IWbemServices::ExecNotificationQuery
  next,                // IEnumWbemClassObject::Next
  get,                 // IWbemClassObject::Get
  get_object,          // IWbemServices::GetObject
  get_method,          // IWbemClassObject::GetMethod
  spawn_instance,      // IWbemClassObject::SpawnInstance
  put_name,            // IWbemClassObject::Put of "Name"
  put_value,           // IWbemClassObject::Put of "Value"
  exec_method,         // IWbemServices::ExecMethod
};
constexpr int kStepCount = 13;
const char* step_name(Step step);
bool step_by_name(const std::string& name, Step* step);

// A switched-on failure. It lets `skip` calls through, then fires `times`
// times (-1: on every later call). When it fires the step returns `result`
// with no object, or, with `null_result`, success with no object (for Next:
// one object counted, none given), or, with `crash`, makes an access
// violation inside the provider, or, with `overflow`, overflows the calling
// thread's stack inside the provider (both: steps that return their HRESULT,
// not blanket, get, put-name, put-value).
struct Fault {
  HRESULT result = static_cast<HRESULT>(0x80041001);  // WBEM_E_FAILED
  bool null_result = false;
  bool crash = false;
  bool overflow = false;
  LONG skip = 0;
  LONG times = 0;  // 0: off
};

constexpr LONG kNever = -1;  // an apply delay that never applies

// The control side of one process's view of the shared state.
class FirmwareState {
 public:
  // Opens (and on first use creates with the defaults) the state of this
  // prefix. Throws std::runtime_error when the file or the lock cannot be had.
  FirmwareState();
  ~FirmwareState();
  FirmwareState(const FirmwareState&) = delete;
  FirmwareState& operator=(const FirmwareState&) = delete;

  // Back to the defaults: one sensor instance "Absent", setting "TLV"
  // applied at once, one setting interface, "Return" 0, no failures, an
  // empty call log. Subscriptions and live objects are facts and stay.
  void reset();

  std::vector<Value> sensors() const;
  void set_sensors(const std::vector<Value>& values);  // at most kMaxSensors
  Value setting() const;
  void set_setting(const Value& value);  // as if applied; drops a pending write
  bool pending_setting(Value* value, LONG* reads_left) const;
  LONG apply_delay() const;
  void set_apply_delay(LONG reads);  // 0: at once; kNever
  LONG interface_count() const;
  void set_interface_count(LONG count);
  LONG return_value() const;
  void set_return_value(LONG value);
  Fault fault(Step step) const;
  void set_fault(Step step, const Fault& fault);

  // The provider's side.
  bool take_fault(Step step, Fault* fired);
  Value read_setting();  // one client read: applies a pending write when due
  LONG apply_setting(const std::wstring& name, const Value& value);  // the method's "Return"

  // Event subscriptions (see EventSubscription).
  int subscriptions() const;
  bool wait_for_subscription(DWORD timeout_ms) const;
  // Queues the event on every subscription that waits for it; returns how
  // many it reached. With none, the event is lost.
  int raise_event(const Value& description);

  void log(const std::string& line);  // UTF-8
  std::vector<std::string> call_log() const;
  void clear_log();

  void object_created();
  void object_destroyed();
  LONG live_objects(DWORD process_id) const;
  LONG live_objects() const;  // over every process still running

  static const int kMaxSensors = 4;
  static const int kMaxText = 255;

 private:
  friend class EventSubscription;
  class Lock;
  struct Shared;

  void set_defaults();
  int claim_slot(bool matches);
  void free_slot(int slot);
  bool pop_event(int slot, Value* description);

  ScopedHandle mutex_;
  ScopedHandle file_;
  ScopedHandle mapping_;
  Shared* shared_ = nullptr;
};

// The process-wide view, opened on first use.
FirmwareState& firmware_state();

// One subscription to the hot-plug event, from ExecNotificationQuery until
// its enumerator is released.
class EventSubscription {
 public:
  // `matches`: whether the query's condition selects the firmware's events.
  EventSubscription(FirmwareState* state, bool matches);
  ~EventSubscription();
  EventSubscription(const EventSubscription&) = delete;
  EventSubscription& operator=(const EventSubscription&) = delete;

  bool valid() const { return slot_ >= 0; }  // false when every slot is taken
  // Blocks until an event arrives (true) or the timeout passes (false).
  bool next(DWORD timeout_ms, Value* description);

 private:
  FirmwareState* state_;
  int slot_ = -1;
  ScopedHandle signal_;
};

std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(const std::string& text);

}  // namespace wmisim
