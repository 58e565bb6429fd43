#include "tests/service/fake_win32.h"

#include <chrono>

#include "service/win32_calls.h"
#include "tests/common/time_scale.h"

namespace {

const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
const SC_HANDLE kManager = reinterpret_cast<SC_HANDLE>(0x1000);
const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(0x2000);

// A NUL-separated list up to its double NUL, as one string; an empty list
// gives an empty string.
std::string multi_string(const char* list) {
  std::string value;
  if (list == nullptr || *list == '\0') return value;
  while (*list != '\0') {
    const std::string entry(list);
    value += entry;
    value += '\0';
    list += entry.size() + 1;
  }
  return value + '\0';
}

}  // namespace

FakeWin32* FakeWin32::current_ = nullptr;

FakeWin32::FakeWin32() {
  current_ = this;
  Win32Calls& calls = win32_calls();
  calls.set_service_status = set_service_status;
  calls.register_service_ctrl_handler_ex = register_handler;
  calls.start_service_ctrl_dispatcher = start_dispatcher;
  calls.post_thread_message = post_thread_message;
  calls.register_event_source = register_event_source;
  calls.report_event = report_event;
  calls.deregister_event_source = deregister_event_source;
  calls.message_box = message_box;
  calls.open_sc_manager = open_manager;
  calls.create_service = create_service;
  calls.change_service_config2 = change_config2;
  calls.open_service = open_service;
  calls.delete_service = delete_service;
  calls.close_service_handle = close_service_handle;
  calls.reg_create_key_ex = create_key;
}

FakeWin32::~FakeWin32() {
  win32_calls() = Win32Calls{};
  current_ = nullptr;
}

void FakeWin32::note(const std::string& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  journal_.push_back(entry);
  changed_.notify_all();
}

std::vector<std::string> FakeWin32::journal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return journal_;
}

std::vector<RecordedStatus> FakeWin32::statuses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statuses_;
}

std::vector<RecordedEvent> FakeWin32::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<RecordedDialog> FakeWin32::dialogs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dialogs_;
}

namespace {

std::string status_line(const RecordedStatus& status) {
  std::string line = "status " + std::to_string(status.state) + " cp " + std::to_string(status.checkpoint);
  if (status.exit_code != 0 || status.specific_exit_code != 0)
    line += " exit " + std::to_string(status.exit_code) + "/" + std::to_string(status.specific_exit_code);
  return line;
}

}  // namespace

std::vector<std::string> FakeWin32::status_lines() const {
  std::vector<std::string> lines;
  for (const RecordedStatus& status : statuses()) lines.push_back(status_line(status));
  return lines;
}

bool FakeWin32::wait_for_state(DWORD state, int count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(scaled_milliseconds(timeout_ms)), [&] {
    int seen = 0;
    for (const RecordedStatus& status : statuses_)
      if (status.state == state) ++seen;
    return seen >= count;
  });
}

BOOL WINAPI FakeWin32::set_service_status(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  FakeWin32& self = *current_;
  if (self.fail_set_status != 0 || handle != kStatusHandle) {
    SetLastError(self.fail_set_status != 0 ? self.fail_set_status : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(self.mutex_);
  self.statuses_.push_back({status->dwServiceType, status->dwCurrentState, status->dwControlsAccepted,
                            status->dwCheckPoint, status->dwWaitHint, status->dwWin32ExitCode,
                            status->dwServiceSpecificExitCode});
  self.journal_.push_back(status_line(self.statuses_.back()));
  self.changed_.notify_all();
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeWin32::register_handler(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID) {
  FakeWin32& self = *current_;
  std::lock_guard<std::mutex> lock(self.mutex_);
  self.handler_name = name;
  self.handler = handler;
  if (self.fail_register_handler != 0) {
    SetLastError(self.fail_register_handler);
    return nullptr;
  }
  return kStatusHandle;
}

BOOL WINAPI FakeWin32::start_dispatcher(const SERVICE_TABLE_ENTRYA* table) {
  FakeWin32& self = *current_;
  for (const SERVICE_TABLE_ENTRYA* entry = table; entry->lpServiceName != nullptr; ++entry)
    self.dispatcher_table.push_back(entry->lpServiceName);
  if (self.fail_dispatcher != 0) {
    SetLastError(self.fail_dispatcher);
    return FALSE;
  }
  std::vector<char*> argv;
  for (std::string& argument : self.dispatcher_arguments) argv.push_back(&argument[0]);
  table[0].lpServiceProc(static_cast<DWORD>(argv.size()), argv.data());
  return TRUE;
}

BOOL WINAPI FakeWin32::post_thread_message(DWORD thread_id, UINT message, WPARAM first, LPARAM second) {
  {
    std::lock_guard<std::mutex> lock(current_->mutex_);
    if (current_->fail_post != 0) {
      SetLastError(current_->fail_post);
      return FALSE;
    }
    ++current_->posts;
  }
  return PostThreadMessageA(thread_id, message, first, second);
}

HANDLE WINAPI FakeWin32::register_event_source(LPCSTR, LPCSTR source) {
  FakeWin32& self = *current_;
  std::lock_guard<std::mutex> lock(self.mutex_);
  ++self.event_source_registrations;
  if (self.fail_register_event_source > 0) {
    --self.fail_register_event_source;
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  self.sources_.push_back(source);
  ++self.event_sources_open;
  return reinterpret_cast<HANDLE>(self.sources_.size());
}

BOOL WINAPI FakeWin32::report_event(HANDLE handle, WORD type, WORD category, DWORD id, PSID, WORD count,
                                    DWORD, LPCSTR* strings, LPVOID) {
  FakeWin32& self = *current_;
  std::lock_guard<std::mutex> lock(self.mutex_);
  const std::string source = self.sources_.at(reinterpret_cast<std::size_t>(handle) - 1);
  const std::string text = count > 0 ? strings[0] : "";
  self.events_.push_back({source, type, category, id, count, text});
  self.journal_.push_back("event " + std::to_string(type) + " " + text);
  self.changed_.notify_all();
  return TRUE;
}

BOOL WINAPI FakeWin32::deregister_event_source(HANDLE) {
  FakeWin32& self = *current_;
  std::lock_guard<std::mutex> lock(self.mutex_);
  --self.event_sources_open;
  return TRUE;
}

int WINAPI FakeWin32::message_box(HWND, LPCSTR text, LPCSTR caption, UINT flags) {
  FakeWin32& self = *current_;
  std::lock_guard<std::mutex> lock(self.mutex_);
  self.dialogs_.push_back({caption, text, flags});
  self.journal_.push_back(std::string("dialog ") + caption);
  return IDOK;
}

SC_HANDLE WINAPI FakeWin32::open_manager(LPCSTR machine, LPCSTR database, DWORD access) {
  FakeWin32& self = *current_;
  if (self.fail_open_manager != 0 || machine != nullptr || database != nullptr ||
      access != SC_MANAGER_ALL_ACCESS) {
    SetLastError(self.fail_open_manager != 0 ? self.fail_open_manager : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ++self.service_handles_open;
  return kManager;
}

SC_HANDLE WINAPI FakeWin32::create_service(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                                           DWORD type, DWORD start, DWORD error_control, LPCSTR path,
                                           LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                           LPCSTR password) {
  FakeWin32& self = *current_;
  self.note(std::string("create ") + name);
  if (manager != kManager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  self.creates.push_back({name, display_name ? display_name : "<null>", path, group ? group : "<null>",
                          multi_string(dependencies), password ? password : "<null>", access, type, start,
                          error_control, tag != nullptr, account != nullptr});
  if (self.fail_create_service != 0) {
    SetLastError(self.fail_create_service);
    return nullptr;
  }
  ++self.service_handles_open;
  return kService;
}

namespace {

std::string failure_actions_text(const SERVICE_FAILURE_ACTIONSA& record) {
  static const char* const kTypes[] = {"none", "restart", "reboot", "command"};
  std::string text = "reset=" + std::to_string(record.dwResetPeriod) +
                     " reboot=" + (record.lpRebootMsg ? record.lpRebootMsg : "<null>") +
                     " command=" + (record.lpCommand ? record.lpCommand : "<null>");
  for (DWORD i = 0; i < record.cActions; ++i) {
    const SC_ACTION& action = record.lpsaActions[i];
    text += " ";
    text += action.Type <= SC_ACTION_RUN_COMMAND ? kTypes[action.Type] : "?";
    text += "/" + std::to_string(action.Delay);
  }
  return text;
}

}  // namespace

BOOL WINAPI FakeWin32::change_config2(SC_HANDLE service, DWORD level, LPVOID info) {
  FakeWin32& self = *current_;
  if (service != kService) return FALSE;
  if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    self.failure_actions.push_back(failure_actions_text(*static_cast<SERVICE_FAILURE_ACTIONSA*>(info)));
    if (self.fail_failure_actions == 0) return TRUE;
    SetLastError(self.fail_failure_actions);
    return FALSE;
  }
  if (level != SERVICE_CONFIG_DESCRIPTION) return FALSE;
  const char* description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
  self.descriptions.push_back(description ? description : "<null>");
  return TRUE;
}

SC_HANDLE WINAPI FakeWin32::open_service(SC_HANDLE manager, LPCSTR name, DWORD access) {
  FakeWin32& self = *current_;
  self.note(std::string("open ") + name);
  self.opened_services.push_back(name);
  if (manager != kManager || access != SERVICE_ALL_ACCESS || self.fail_open_service != 0) {
    SetLastError(self.fail_open_service != 0 ? self.fail_open_service : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ++self.service_handles_open;
  return kService;
}

BOOL WINAPI FakeWin32::delete_service(SC_HANDLE service) {
  FakeWin32& self = *current_;
  self.note("delete");
  if (service != kService || self.fail_delete_service != 0) {
    SetLastError(self.fail_delete_service != 0 ? self.fail_delete_service : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ++self.deleted_services;
  return TRUE;
}

BOOL WINAPI FakeWin32::close_service_handle(SC_HANDLE) {
  --current_->service_handles_open;
  return TRUE;
}

LONG WINAPI FakeWin32::create_key(HKEY root, LPCSTR path, DWORD reserved, LPSTR class_name, DWORD options,
                                  REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
                                  LPDWORD disposition) {
  if (current_->fail_create_key != ERROR_SUCCESS) return current_->fail_create_key;
  return RegCreateKeyExA(root, path, reserved, class_name, options, access, security, key, disposition);
}
