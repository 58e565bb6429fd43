#include "sim/wmi_firmware/firmware_state.h"

#include <cstring>
#include <stdexcept>

namespace wmisim {

namespace {

const wchar_t kLockName[] = L"Global\\xvsim-wmi-firmware-lock";
const wchar_t kSubscribedName[] = L"Global\\xvsim-wmi-firmware-subscribed";
const wchar_t kStateFile[] = L"\\xvsim-wmi-firmware.dat";
const wchar_t kSettingName[] = L"Remote Session Protocol";
const DWORD kMagic = 0x58574D32;  // bump when the layout changes
const LONG kUnknownSetting = 2;   // "Return" for a setting the firmware lacks

const int kSlots = 16;
const int kQueue = 8;
const int kLogEntries = 256;
const int kLogText = 300;
const int kProcesses = 32;

const char* const kStepNames[kStepCount] = {
    "create",     "connect",    "blanket",        "query",    "notification-query", "next",       "get",
    "get-object", "get-method", "spawn-instance", "put-name", "put-value",          "exec-method"};

std::wstring signal_name(int slot) { return L"Global\\xvsim-wmi-firmware-event-" + std::to_wstring(slot); }

bool process_running(DWORD process_id) {
  if (process_id == GetCurrentProcessId()) return true;
  ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
  return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace

struct SharedValue {
  LONG null;
  wchar_t text[FirmwareState::kMaxText + 1];
};

struct SharedSubscription {
  LONG in_use;
  DWORD process_id;
  LONG matches;
  LONG head;
  LONG count;
  SharedValue queue[kQueue];
};

struct ProcessObjects {
  DWORD process_id;
  LONG live;
};

struct FirmwareState::Shared {
  DWORD magic;
  DWORD size;
  LONG sensor_count;
  SharedValue sensors[kMaxSensors];
  SharedValue setting;
  LONG has_pending;
  SharedValue pending;
  LONG reads_left;
  LONG apply_delay;
  LONG interface_count;
  LONG return_value;
  Fault faults[kStepCount];
  SharedSubscription subscriptions[kSlots];
  ProcessObjects processes[kProcesses];
  LONG log_total;
  char log[kLogEntries][kLogText];
};

class FirmwareState::Lock {
 public:
  explicit Lock(const FirmwareState& state) : mutex_(state.mutex_.get()) {
    // An abandoned lock (a process killed inside) is still ours now.
    WaitForSingleObject(mutex_, INFINITE);
  }
  ~Lock() { ReleaseMutex(mutex_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  HANDLE mutex_;
};

namespace {

void store(SharedValue* target, const Value& value) {
  target->null = value.null ? 1 : 0;
  const std::size_t length = value.text.size() < FirmwareState::kMaxText
                                 ? value.text.size()
                                 : static_cast<std::size_t>(FirmwareState::kMaxText);
  std::wmemcpy(target->text, value.text.data(), length);
  target->text[length] = L'\0';
}

Value load(const SharedValue& source) {
  Value value;
  value.null = source.null != 0;
  value.text = source.text;
  return value;
}

}  // namespace

Value text_value(const std::wstring& text) { return Value{false, text}; }
Value null_value() { return Value{true, L""}; }

const char* step_name(Step step) { return kStepNames[static_cast<int>(step)]; }

bool step_by_name(const std::string& name, Step* step) {
  for (int i = 0; i < kStepCount; ++i) {
    if (name == kStepNames[i]) {
      *step = static_cast<Step>(i);
      return true;
    }
  }
  return false;
}

FirmwareState::FirmwareState() {
  mutex_.reset(CreateMutexW(nullptr, FALSE, kLockName));
  if (!mutex_) throw std::runtime_error("cannot create the firmware state lock");
  wchar_t folder[MAX_PATH] = L"";
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) throw std::runtime_error("no Windows folder");
  const std::wstring path = std::wstring(folder) + kStateFile;

  Lock lock(*this);
  file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file_.get() == INVALID_HANDLE_VALUE) {
    file_.release();
    throw std::runtime_error("cannot open the firmware state file " + to_utf8(path));
  }
  mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, 0, sizeof(Shared), nullptr));
  if (!mapping_) throw std::runtime_error("cannot map the firmware state file");
  shared_ = static_cast<Shared*>(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (shared_ == nullptr) throw std::runtime_error("cannot map the firmware state file");
  if (shared_->magic != kMagic || shared_->size != sizeof(Shared)) {
    std::memset(static_cast<void*>(shared_), 0, sizeof(Shared));
    shared_->magic = kMagic;
    shared_->size = sizeof(Shared);
    set_defaults();
  }
}

FirmwareState::~FirmwareState() {
  if (shared_ != nullptr) UnmapViewOfFile(shared_);
}

void FirmwareState::set_defaults() {
  shared_->sensor_count = 1;
  store(&shared_->sensors[0], text_value(L"Absent"));
  store(&shared_->setting, text_value(L"TLV"));
  shared_->has_pending = 0;
  shared_->reads_left = 0;
  shared_->apply_delay = 0;
  shared_->interface_count = 1;
  shared_->return_value = 0;
  for (Fault& fault : shared_->faults) fault = Fault();
  shared_->log_total = 0;
  for (SharedSubscription& subscription : shared_->subscriptions) {
    subscription.head = 0;
    subscription.count = 0;
  }
}

void FirmwareState::reset() {
  Lock lock(*this);
  set_defaults();
}

std::vector<Value> FirmwareState::sensors() const {
  Lock lock(*this);
  std::vector<Value> values;
  for (LONG i = 0; i < shared_->sensor_count; ++i) values.push_back(load(shared_->sensors[i]));
  return values;
}

void FirmwareState::set_sensors(const std::vector<Value>& values) {
  Lock lock(*this);
  const std::size_t count = values.size() < kMaxSensors ? values.size() : kMaxSensors;
  for (std::size_t i = 0; i < count; ++i) store(&shared_->sensors[i], values[i]);
  shared_->sensor_count = static_cast<LONG>(count);
}

Value FirmwareState::setting() const {
  Lock lock(*this);
  return load(shared_->setting);
}

void FirmwareState::set_setting(const Value& value) {
  Lock lock(*this);
  store(&shared_->setting, value);
  shared_->has_pending = 0;
}

bool FirmwareState::pending_setting(Value* value, LONG* reads_left) const {
  Lock lock(*this);
  if (shared_->has_pending == 0) return false;
  *value = load(shared_->pending);
  *reads_left = shared_->reads_left;
  return true;
}

LONG FirmwareState::apply_delay() const {
  Lock lock(*this);
  return shared_->apply_delay;
}

void FirmwareState::set_apply_delay(LONG reads) {
  Lock lock(*this);
  shared_->apply_delay = reads < 0 ? kNever : reads;
}

LONG FirmwareState::interface_count() const {
  Lock lock(*this);
  return shared_->interface_count;
}

void FirmwareState::set_interface_count(LONG count) {
  Lock lock(*this);
  shared_->interface_count = count < 0 ? 0 : count;
}

LONG FirmwareState::return_value() const {
  Lock lock(*this);
  return shared_->return_value;
}

void FirmwareState::set_return_value(LONG value) {
  Lock lock(*this);
  shared_->return_value = value;
}

Fault FirmwareState::fault(Step step) const {
  Lock lock(*this);
  return shared_->faults[static_cast<int>(step)];
}

void FirmwareState::set_fault(Step step, const Fault& fault) {
  Lock lock(*this);
  shared_->faults[static_cast<int>(step)] = fault;
}

bool FirmwareState::take_fault(Step step, Fault* fired) {
  Lock lock(*this);
  Fault& fault = shared_->faults[static_cast<int>(step)];
  if (fault.times == 0) return false;
  if (fault.skip > 0) {
    --fault.skip;
    return false;
  }
  *fired = fault;
  if (fault.times > 0) --fault.times;
  return true;
}

Value FirmwareState::read_setting() {
  Lock lock(*this);
  if (shared_->has_pending != 0) {
    if (shared_->reads_left == 0) {
      shared_->setting = shared_->pending;
      shared_->has_pending = 0;
    } else if (shared_->reads_left > 0) {
      --shared_->reads_left;
    }
  }
  return load(shared_->setting);
}

LONG FirmwareState::apply_setting(const std::wstring& name, const Value& value) {
  Lock lock(*this);
  // A refusal changes nothing.
  if (shared_->return_value != 0) return shared_->return_value;
  if (name != kSettingName) return kUnknownSetting;
  if (shared_->apply_delay == 0) {
    store(&shared_->setting, value);
    shared_->has_pending = 0;
  } else {
    store(&shared_->pending, value);
    shared_->has_pending = 1;
    shared_->reads_left = shared_->apply_delay;
  }
  return 0;
}

int FirmwareState::subscriptions() const {
  Lock lock(*this);
  int count = 0;
  for (const SharedSubscription& subscription : shared_->subscriptions) {
    if (subscription.in_use != 0 && process_running(subscription.process_id)) ++count;
  }
  return count;
}

bool FirmwareState::wait_for_subscription(DWORD timeout_ms) const {
  // Opened before the first look, so a subscription made in between still
  // leaves the event set.
  ScopedHandle subscribed(CreateEventW(nullptr, FALSE, FALSE, kSubscribedName));
  const DWORD start = GetTickCount();
  for (;;) {
    if (subscriptions() > 0) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (!subscribed || elapsed >= timeout_ms) return false;
    WaitForSingleObject(subscribed.get(), timeout_ms - elapsed);
  }
}

int FirmwareState::claim_slot(bool matches) {
  Lock lock(*this);
  for (int slot = 0; slot < kSlots; ++slot) {
    SharedSubscription& subscription = shared_->subscriptions[slot];
    // A slot left by a process that ended without releasing it is free.
    if (subscription.in_use != 0 && process_running(subscription.process_id)) continue;
    subscription.in_use = 1;
    subscription.process_id = GetCurrentProcessId();
    subscription.matches = matches ? 1 : 0;
    subscription.head = 0;
    subscription.count = 0;
    return slot;
  }
  return -1;
}

void FirmwareState::free_slot(int slot) {
  Lock lock(*this);
  shared_->subscriptions[slot].in_use = 0;
  shared_->subscriptions[slot].count = 0;
}

bool FirmwareState::pop_event(int slot, Value* description) {
  Lock lock(*this);
  SharedSubscription& subscription = shared_->subscriptions[slot];
  if (subscription.count == 0) return false;
  *description = load(subscription.queue[subscription.head]);
  subscription.head = (subscription.head + 1) % kQueue;
  --subscription.count;
  return true;
}

int FirmwareState::raise_event(const Value& description) {
  std::vector<int> reached;
  {
    Lock lock(*this);
    for (int slot = 0; slot < kSlots; ++slot) {
      SharedSubscription& subscription = shared_->subscriptions[slot];
      if (subscription.in_use == 0) continue;
      if (!process_running(subscription.process_id)) {
        subscription.in_use = 0;
        continue;
      }
      if (subscription.matches == 0 || subscription.count == kQueue) continue;
      store(&subscription.queue[(subscription.head + subscription.count) % kQueue], description);
      ++subscription.count;
      reached.push_back(slot);
    }
  }
  for (int slot : reached) {
    ScopedHandle signal(OpenEventW(EVENT_MODIFY_STATE, FALSE, signal_name(slot).c_str()));
    if (signal) SetEvent(signal.get());
  }
  return static_cast<int>(reached.size());
}

void FirmwareState::log(const std::string& line) {
  Lock lock(*this);
  char* entry = shared_->log[shared_->log_total % kLogEntries];
  const std::size_t length = line.size() < kLogText - 1 ? line.size() : kLogText - 1;
  std::memcpy(entry, line.data(), length);
  entry[length] = '\0';
  ++shared_->log_total;
}

std::vector<std::string> FirmwareState::call_log() const {
  Lock lock(*this);
  std::vector<std::string> lines;
  const LONG total = shared_->log_total;
  const LONG first = total > kLogEntries ? total - kLogEntries : 0;
  for (LONG i = first; i < total; ++i) lines.push_back(shared_->log[i % kLogEntries]);
  return lines;
}

void FirmwareState::clear_log() {
  Lock lock(*this);
  shared_->log_total = 0;
}

void FirmwareState::object_created() {
  Lock lock(*this);
  const DWORD self = GetCurrentProcessId();
  ProcessObjects* free_entry = nullptr;
  for (ProcessObjects& entry : shared_->processes) {
    if (entry.process_id == self) {
      ++entry.live;
      return;
    }
    if (free_entry == nullptr && (entry.process_id == 0 || !process_running(entry.process_id))) {
      free_entry = &entry;
    }
  }
  if (free_entry == nullptr) return;  // more clients than the table holds: not counted
  free_entry->process_id = self;
  free_entry->live = 1;
}

void FirmwareState::object_destroyed() {
  Lock lock(*this);
  for (ProcessObjects& entry : shared_->processes) {
    if (entry.process_id == GetCurrentProcessId()) {
      --entry.live;
      return;
    }
  }
}

LONG FirmwareState::live_objects(DWORD process_id) const {
  Lock lock(*this);
  for (const ProcessObjects& entry : shared_->processes) {
    if (entry.process_id == process_id) return entry.live;
  }
  return 0;
}

LONG FirmwareState::live_objects() const {
  Lock lock(*this);
  LONG total = 0;
  for (const ProcessObjects& entry : shared_->processes) {
    if (entry.process_id != 0 && process_running(entry.process_id)) total += entry.live;
  }
  return total;
}

FirmwareState& firmware_state() {
  static FirmwareState state;
  return state;
}

EventSubscription::EventSubscription(FirmwareState* state, bool matches) : state_(state) {
  const int slot = state_->claim_slot(matches);
  if (slot < 0) return;
  // The slot's event exists before anyone can raise into it, so no wake-up
  // is lost.
  signal_.reset(CreateEventW(nullptr, FALSE, FALSE, signal_name(slot).c_str()));
  if (!signal_) {
    state_->free_slot(slot);
    return;
  }
  slot_ = slot;
  ScopedHandle subscribed(CreateEventW(nullptr, FALSE, FALSE, kSubscribedName));
  if (subscribed) SetEvent(subscribed.get());
}

EventSubscription::~EventSubscription() {
  if (slot_ >= 0) state_->free_slot(slot_);
}

bool EventSubscription::next(DWORD timeout_ms, Value* description) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (state_->pop_event(slot_, description)) return true;
    DWORD wait = INFINITE;
    if (timeout_ms != INFINITE) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= timeout_ms) return false;
      wait = timeout_ms - elapsed;
    }
    WaitForSingleObject(signal_.get(), wait);
  }
}

std::string to_utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &result[0], bytes, nullptr, nullptr);
  return result;
}

std::wstring from_utf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &result[0], length);
  return result;
}

}  // namespace wmisim
