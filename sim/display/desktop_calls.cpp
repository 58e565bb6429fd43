#include "sim/display/desktop_calls.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/format.h"
#include "sim/ati/ati_state.h"
#include "sim/display/display_set.h"

namespace display_stand_in {

const char kInputDesktop[] = "Winlogon";

namespace {

const char kOwnDesktop[] = "Default";

struct Desktop {
  std::string name;
  bool open;
};

// The desktop handles handed out and the threads' desktops. A handle is the
// address of its record, which stays until the process ends, so a closed
// handle is told from a live one and never from Wine's own.
class Desktops {
 public:
  HDESK own() { return handle(&own_); }

  HDESK open_input() {
    const std::lock_guard<std::mutex> lock(mutex_);
    opened_.push_back(std::make_unique<Desktop>(Desktop{kInputDesktop, true}));
    return handle(opened_.back().get());
  }

  // The desktop of that handle while it is open; null otherwise.
  Desktop* find(HDESK desktop) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (desktop == handle(&own_)) return &own_;
    for (const auto& record : opened_) {
      if (handle(record.get()) == desktop && record->open) return record.get();
    }
    return nullptr;
  }

  HDESK of_thread(DWORD thread) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = threads_.find(thread);
    return found == threads_.end() ? handle(&own_) : found->second;
  }

  void move_thread(DWORD thread, HDESK desktop) {
    const std::lock_guard<std::mutex> lock(mutex_);
    threads_[thread] = desktop;
  }

  // Closes an open handle that no thread is on; every thread that never
  // moved is on "Default".
  bool close(HDESK desktop) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (desktop == handle(&own_)) return false;
    for (const auto& entry : threads_) {
      if (entry.second == desktop) return false;
    }
    for (const auto& record : opened_) {
      if (handle(record.get()) == desktop) record->open = false;
    }
    return true;
  }

 private:
  static HDESK handle(Desktop* desktop) { return reinterpret_cast<HDESK>(desktop); }

  std::mutex mutex_;
  Desktop own_{kOwnDesktop, true};
  std::vector<std::unique_ptr<Desktop>> opened_;
  std::map<DWORD, HDESK> threads_;
};

Desktops& desktops() {
  static Desktops* all = new Desktops;  // used until the process ends
  return *all;
}

std::string name_of(HDESK desktop) {
  const Desktop* found = desktops().find(desktop);
  return found == nullptr ? "an unknown handle" : found->name;
}

void log_call(const std::string& line) { ati_stand_in::append_call_log(line); }

std::string failure(DWORD error, const char* why) {
  SetLastError(error);
  return " (error " + std::to_string(error) + ": " + why + ")";
}

bool switched_to_fail(const DisplayState& state, const char* function) {
  return state.fail_desktop == function;
}

}  // namespace

HDESK WINAPI get_thread_desktop(DWORD thread) {
  const DisplayState state = load_state();
  if (state.set.empty()) return GetThreadDesktop(thread);
  if (switched_to_fail(state, "GetThreadDesktop")) {
    log_call("GetThreadDesktop -> NULL" + failure(ERROR_INVALID_PARAMETER, "no desktop for the thread"));
    return nullptr;
  }
  const HDESK desktop = desktops().of_thread(thread);
  log_call("GetThreadDesktop -> " + name_of(desktop));
  return desktop;
}

HDESK WINAPI open_input_desktop(DWORD flags, BOOL inherit, ACCESS_MASK access) {
  const DisplayState state = load_state();
  if (state.set.empty()) return OpenInputDesktop(flags, inherit, access);
  const std::string call = "OpenInputDesktop flags=" + format_hex(flags) +
                           " inherit=" + std::to_string(inherit) + " access=" + format_hex(access) + " -> ";
  if (switched_to_fail(state, "OpenInputDesktop")) {
    log_call(call + "NULL" + failure(ERROR_ACCESS_DENIED, "the window station takes no input"));
    return nullptr;
  }
  const HDESK desktop = desktops().open_input();
  log_call(call + kInputDesktop);
  return desktop;
}

BOOL WINAPI set_thread_desktop(HDESK desktop) {
  const DisplayState state = load_state();
  if (state.set.empty()) return SetThreadDesktop(desktop);
  const std::string call = "SetThreadDesktop " + name_of(desktop) + " -> ";
  if (desktops().find(desktop) == nullptr) {
    log_call(call + "0" + failure(ERROR_INVALID_HANDLE, "not an open desktop"));
    return FALSE;
  }
  const HDESK current = desktops().of_thread(GetCurrentThreadId());
  if (desktop != current && name_of(current) == kOwnDesktop && switched_to_fail(state, "SetThreadDesktop")) {
    log_call(call + "0" + failure(ERROR_BUSY, "the thread has a window on Default"));
    return FALSE;
  }
  desktops().move_thread(GetCurrentThreadId(), desktop);
  log_call(call + "1");
  return TRUE;
}

BOOL WINAPI close_desktop(HDESK desktop) {
  if (load_state().set.empty()) return CloseDesktop(desktop);
  const std::string call = "CloseDesktop " + name_of(desktop) + " -> ";
  if (desktops().find(desktop) == nullptr) {
    log_call(call + "0" + failure(ERROR_INVALID_HANDLE, "not an open desktop"));
    return FALSE;
  }
  // Windows refuses to close a desktop handle that a thread uses.
  if (!desktops().close(desktop)) {
    log_call(call + "0" + failure(ERROR_BUSY, "a thread is on it"));
    return FALSE;
  }
  log_call(call + "1");
  return TRUE;
}

std::string current_desktop() { return name_of(desktops().of_thread(GetCurrentThreadId())); }

}  // namespace display_stand_in
