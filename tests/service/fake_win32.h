// Recorders for the service host's Win32 calls. A FakeWin32 installs itself
// in the process's call table for its lifetime and restores the real calls
// afterwards. Everything it sees goes into one journal, in order, together
// with the notes the tests add, so orders across threads can be checked. One
// made while another is installed takes over until it ends.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

struct RecordedStatus {
  DWORD type, state, controls, checkpoint, wait_hint, exit_code, specific_exit_code;
};

struct RecordedEvent {
  std::string source;
  WORD type;
  WORD category;
  DWORD id;
  WORD string_count;
  std::string text;
};

struct RecordedDialog {
  std::string caption, text;
  UINT flags;
};

struct RecordedCreate {
  std::string name, display_name, path, group, dependencies, password;
  DWORD access, type, start, error_control;
  bool tag_given, account_given;
};

class FakeWin32 {
 public:
  FakeWin32();
  ~FakeWin32();
  FakeWin32(const FakeWin32&) = delete;
  FakeWin32& operator=(const FakeWin32&) = delete;

  void note(const std::string& entry);
  std::vector<std::string> journal() const;
  std::vector<RecordedStatus> statuses() const;
  std::vector<RecordedEvent> events() const;
  std::vector<RecordedDialog> dialogs() const;
  // The journal's "status S cp C" lines only; a report with an exit code
  // ends in " exit W/S" (Win32, service-specific).
  std::vector<std::string> status_lines() const;
  // Waits until a status with this state has been reported (count times).
  bool wait_for_state(DWORD state, int count = 1, int timeout_ms = 10000) const;

  // Knobs, set before the calls happen.
  DWORD fail_register_handler = 0;     // error number, 0: succeed
  DWORD fail_set_status = 0;           // error number, 0: succeed
  int fail_register_event_source = 0;  // how many registrations fail
  DWORD fail_open_manager = 0;
  DWORD fail_create_service = 0;
  DWORD fail_open_service = 0;
  DWORD fail_delete_service = 0;
  DWORD fail_failure_actions = 0;                 // ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS)
  LONG fail_create_key = ERROR_SUCCESS;           // ERROR_SUCCESS: the real registry
  DWORD fail_dispatcher = 0;                      // 0: run the table's first service
  DWORD fail_post = 0;                            // PostThreadMessageA, as with a full queue
  std::vector<std::string> dispatcher_arguments;  // argv for the service main

  // What was seen.
  LPHANDLER_FUNCTION_EX handler = nullptr;
  int posts = 0;  // requests posted to the service thread (and passed on)
  std::string handler_name;
  std::vector<std::string> dispatcher_table;
  std::vector<RecordedCreate> creates;
  std::vector<std::string> descriptions;
  // "reset=S reboot=TEXT command=TEXT TYPE/DELAY...", TYPE none, restart, reboot or command.
  std::vector<std::string> failure_actions;
  std::vector<std::string> opened_services;
  int deleted_services = 0;
  int service_handles_open = 0;  // opened minus closed
  int event_sources_open = 0;    // registered minus deregistered
  int event_source_registrations = 0;

 private:
  static BOOL WINAPI set_service_status(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
  static SERVICE_STATUS_HANDLE WINAPI register_handler(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID);
  static BOOL WINAPI start_dispatcher(const SERVICE_TABLE_ENTRYA*);
  static BOOL WINAPI post_thread_message(DWORD, UINT, WPARAM, LPARAM);
  static HANDLE WINAPI register_event_source(LPCSTR, LPCSTR);
  static BOOL WINAPI report_event(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID);
  static BOOL WINAPI deregister_event_source(HANDLE);
  static int WINAPI message_box(HWND, LPCSTR, LPCSTR, UINT);
  static SC_HANDLE WINAPI open_manager(LPCSTR, LPCSTR, DWORD);
  static SC_HANDLE WINAPI create_service(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR,
                                         LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR);
  static BOOL WINAPI change_config2(SC_HANDLE, DWORD, LPVOID);
  static SC_HANDLE WINAPI open_service(SC_HANDLE, LPCSTR, DWORD);
  static BOOL WINAPI delete_service(SC_HANDLE);
  static BOOL WINAPI close_service_handle(SC_HANDLE);
  static LONG WINAPI create_key(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                                LPDWORD);

  static FakeWin32* current_;
  FakeWin32* previous_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> journal_;
  std::vector<RecordedStatus> statuses_;
  std::vector<RecordedEvent> events_;
  std::vector<RecordedDialog> dialogs_;
  std::vector<std::string> sources_;  // by handle number - 1
};
