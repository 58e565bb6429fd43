// Fakes for the service module's neighbours: the firmware behind the WMI
// layer, the ATI display library binding, the watcher's creation, the Windows
// version, the pause between read-backs, and the resolution and desktop calls
// of the display table. A FakeNeighbours installs itself for its lifetime and
// puts the real calls back afterwards. What the fakes see goes into one
// journal, in order; the service thread and the test thread may both write.
// A FakeNeighbours made while another is installed takes over until it ends,
// then the other one is back.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "display/display_api.h"
#include "service/module_calls.h"
#include "service/service_base.h"

class FakeNeighbours {
 public:
  FakeNeighbours();
  ~FakeNeighbours();
  FakeNeighbours(const FakeNeighbours&) = delete;
  FakeNeighbours& operator=(const FakeNeighbours&) = delete;

  std::vector<std::string> journal() const;
  int count(const std::string& entry) const;
  void note(const std::string& entry);

  // The firmware. Non-empty error texts make the read or write raise an
  // Exception with that message.
  std::string sensor = "Absent";
  std::string sensor_error;
  std::string protocol = "TLV";  // the value before any write
  std::string protocol_error;
  std::string write_error;
  // A written value reads back from this read on (1 = the first read after
  // the write); 0: never.
  int applied_at_read = 1;
  // The value the firmware keeps for a write, when not the one written.
  std::string applied_as;
  // Called at each pause, with its number from 1, on the caller's thread.
  std::function<void(int pause)> on_pause;

  // The ATI binding.
  std::string load_text_error;
  std::string load_exception;
  std::string free_text_error;
  std::string free_exception;
  std::string clone_text_error;
  std::string clone_exception;
  bool library_loaded = false;
  // Called as the library is loaded, on the caller's thread.
  std::function<void()> on_load;

  // The watcher: what its creation gives, or the Exception it raises. The
  // release of the library notes whether it had been told to end.
  std::shared_ptr<TNotify> watcher;
  std::string watcher_exception;
  LPHANDLER_FUNCTION_EX watcher_entry = nullptr;

  // The Windows version.
  OSVERSIONINFOA version = {};
  void set_version(DWORD major, DWORD minor, DWORD build, const char* csd);

  // The display set of the resolution change.
  int screen_width = 1280;
  int screen_height = 1024;
  bool no_thread_desktop = false;
  bool input_desktop_fails = false;
  bool switch_fails = false;
  LONG change_result = DISP_CHANGE_SUCCESSFUL;
  static HDESK own_desktop() { return reinterpret_cast<HDESK>(0xD001); }
  static HDESK input_desktop() { return reinterpret_cast<HDESK>(0xD002); }
  HDESK thread_desktop = own_desktop();
  int desktops_open = 0;  // input desktops opened minus closed
  struct ModeChange {
    DEVMODEA mode;
    DWORD flags;
  };
  std::vector<ModeChange> mode_changes;
  struct OpenCall {
    DWORD flags;
    BOOL inherit;
    ACCESS_MASK access;
  };
  std::vector<OpenCall> open_calls;
  std::vector<DWORD> desktop_thread_ids;

 private:
  static std::string read_property(const std::string& name_space, const std::string& query,
                                   const std::string& property_name);
  static void write_property(const std::string& name_space, const std::string& class_name,
                             const std::string& method_name, const std::string& setting_name,
                             const std::string& setting_value);
  static void load_library();
  static void free_library();
  static bool enable_clone_mode();
  static std::shared_ptr<TNotify> create_watcher(bool create_suspended, LPHANDLER_FUNCTION_EX entry);
  static const OSVERSIONINFOA& windows_version();
  static void WINAPI pause(DWORD milliseconds);

  static int WINAPI system_metrics(int index);
  static LONG WINAPI change_display_settings(DEVMODEA* mode, DWORD flags);
  static HDESK WINAPI get_thread_desktop(DWORD thread_id);
  static HDESK WINAPI open_input_desktop(DWORD flags, BOOL inherit, ACCESS_MASK access);
  static BOOL WINAPI set_thread_desktop(HDESK desktop);
  static BOOL WINAPI close_desktop(HDESK desktop);

  std::string read_protocol();
  static std::string desktop_name(HDESK desktop);

  static FakeNeighbours* current_;
  FakeNeighbours* previous_;
  ModuleCalls previous_calls_;

  mutable std::mutex mutex_;
  std::vector<std::string> journal_;
  int reads_since_write_ = 0;
  std::string pending_;  // written, not yet applied
  bool write_pending_ = false;
  int pauses_ = 0;
  DisplayApi previous_display_;
};

// True once the condition holds, false when it still does not after the
// time-out (10 seconds unless given).
bool eventually(const std::function<bool()>& condition, int timeout_ms = 10000);

// Runs the service's main function on a thread of its own, as the dispatcher
// calls it, and while_running on the calling thread meanwhile. A run that has
// not ended 10 seconds after while_running returned (or left by a failed
// assertion) is stopped through Controller, so a broken case cannot hang the
// test binary. Returns whether the run ended by itself.
bool run_service(TService& service, const std::function<void()>& while_running = {});
