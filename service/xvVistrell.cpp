// Process entry of xvVistrell.exe and the service application: installation,
// removal, and the connection to the service control manager.
#include "service/xvVistrell.h"

#include <process.h>

#include <cstdio>
#include <cstdlib>

#include "common/format.h"
#include "crash/crash_handler.h"
#include "crash/failure_actions.h"
#include "service/install_location.h"
#include "service/main.h"
#include "service/win32_calls.h"
#include "trace/trace_log.h"

namespace {

const char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const char kWindowClass[] = "TxvVistrellApplication";

// The application whose services the dispatcher runs, and the one the
// process-exit clean-up destroys.
TServiceApplication* running_application = nullptr;
TServiceApplication* exit_cleanup_application = nullptr;

void process_exit_cleanup() {
  if (exit_cleanup_application != nullptr) exit_cleanup_application->DestroyComponents();
}

void WINAPI service_main(DWORD argc, LPSTR* argv) {
  if (running_application != nullptr) running_application->DispatchServiceMain(argc, argv);
}

// The hidden application window; none when the desktop cannot take one (a
// session without a display).
HWND create_application_window() {
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = application_window_procedure;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = kWindowClass;
  RegisterClassA(&window_class);
  return CreateWindowExA(0, kWindowClass, "xvVistrell", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                         window_class.hInstance, nullptr);
}

// The current folder is never searched for a library: a service's current
// folder is the system folder, but an installer run starts wherever the user
// stands. SetDllDirectoryA("") says so; Windows XP before its first service
// pack lacks it, hence the look-up.
void keep_current_folder_out_of_library_search() {
  using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCSTR);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto set_dll_directory = reinterpret_cast<SetDllDirectoryFunction>(
      reinterpret_cast<void*>(kernel != nullptr ? GetProcAddress(kernel, "SetDllDirectoryA") : nullptr));
  if (set_dll_directory != nullptr) set_dll_directory("");
}

int show_dialog(const std::string& text, const char* caption, UINT icon) {
  return win32_calls().message_box(nullptr, text.c_str(), caption, MB_OK | icon);
}

std::vector<std::string> process_arguments() {
  std::vector<std::string> arguments;
  for (int i = 1; i < __argc; ++i) arguments.emplace_back(__argv[i]);
  return arguments;
}

}  // namespace

bool is_switch(const std::string& argument, const std::string& name) {
  if (argument.size() != name.size() + 1 || (argument[0] != '-' && argument[0] != '/')) return false;
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, argument.c_str() + 1, -1, name.c_str(), -1) ==
         CSTR_EQUAL;
}

std::string application_error_text(const Exception& error, const std::string& module_name) {
  // A C++ error does not record where it was raised: the box names the
  // address of the process entry that caught it.
  char head[160];
  std::snprintf(head, sizeof head, "Exception %s in module %s at %08X.\r\n", error.class_name(),
                module_name.c_str(), static_cast<unsigned>(reinterpret_cast<uintptr_t>(&WinMain)));
  return head + error.message();
}

std::string event_source_key(const std::string& source) { return kEventLogKey + source; }

void register_event_source(const std::string& source, const std::string& message_file) {
  HKEY raw_key = nullptr;
  if (win32_calls().reg_create_key_ex(HKEY_LOCAL_MACHINE, event_source_key(source).c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &raw_key,
                                      nullptr) != ERROR_SUCCESS)
    return;
  const ScopedRegistryKey key(raw_key);
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                 reinterpret_cast<const BYTE*>(message_file.c_str()),
                 static_cast<DWORD>(message_file.size()) + 1);
  RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                 sizeof types);
}

void remove_event_source(const std::string& source) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, event_source_key(source).c_str());
}

// The application window ignores the end of the session, so a user logging
// off the interactive desktop does not end the service process. It ignores
// a close as well: the process never asks for one, and any process on the
// desktop can send it.
LRESULT CALLBACK application_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_ENDSESSION || message == WM_CLOSE) return 0;
  return DefWindowProcA(window, message, wparam, lparam);
}

void run_process_entry(const std::function<void()>& steps) {
  try {
    try {
      steps();
    } catch (const Exception&) {
      throw;
    } catch (...) {
      throw Exception("");
    }
  } catch (const Exception& error) {
    const std::string text = application_error_text(error, file_name_part(executable_path()));
    win32_calls().message_box(nullptr, text.c_str(), "Application Error",
                              MB_OK | MB_ICONERROR | MB_TASKMODAL);
  }
}

// --- TServiceStartThread ----------------------------------------------------

TServiceStartThread::TServiceStartThread(const SERVICE_TABLE_ENTRYA* table, HWND quit_window,
                                         DWORD quit_thread)
    : table_(table), quit_window_(quit_window), quit_thread_(quit_thread) {
  const uintptr_t handle = _beginthreadex(nullptr, 0, run, this, 0, nullptr);
  if (handle == 0) raise_last_os_error();
  // NOLINTNEXTLINE(performance-no-int-to-ptr): _beginthreadex returns the thread's HANDLE as an integer.
  handle_.reset(reinterpret_cast<HANDLE>(handle));
}

TServiceStartThread::~TServiceStartThread() { WaitFor(); }

void TServiceStartThread::WaitFor() { WaitForSingleObject(handle_.get(), INFINITE); }

unsigned __stdcall TServiceStartThread::run(void* self) {
  auto* thread = static_cast<TServiceStartThread*>(self);
  if (!win32_calls().start_service_ctrl_dispatcher(thread->table_)) thread->return_value_ = GetLastError();
  // Without the window (it may have been destroyed all the same) the quit
  // goes to the thread that runs the message loop, so the process ends.
  if (thread->quit_window_ == nullptr || !PostMessageA(thread->quit_window_, WM_QUIT, 0, 0))
    PostThreadMessageA(thread->quit_thread_, WM_QUIT, 0, 0);
  return 0;
}

// --- TServiceApplication ----------------------------------------------------

TServiceApplication::TServiceApplication(std::vector<std::string> arguments)
    : arguments_(std::move(arguments)), event_logger_(file_name_part(executable_path())) {}

TServiceApplication::~TServiceApplication() {
  if (exit_cleanup_application == this) exit_cleanup_application = nullptr;
  if (running_application == this) running_application = nullptr;
}

void TServiceApplication::Initialize() { initialized_ = true; }

bool TServiceApplication::find_switch(const std::string& name) const {
  for (const std::string& argument : arguments_)
    if (is_switch(argument, name)) return true;
  return false;
}

bool TServiceApplication::Installing() const { return find_switch("INSTALL") || find_switch("UNINSTALL"); }

void TServiceApplication::DestroyComponents() {
  framework_components_.clear();
  while (!services_.empty()) services_.pop_back();
}

void TServiceApplication::DoHandleException(const Exception& error) {
  event_logger_.LogMessage(error.message(), EVENTLOG_ERROR_TYPE);
}

void TServiceApplication::Run() {
  if (exit_cleanup_application == nullptr) {
    exit_cleanup_application = this;
    std::atexit(process_exit_cleanup);
  }
  if (find_switch("INSTALL"))
    RegisterServices(true, find_switch("SILENT"));
  else if (find_switch("UNINSTALL"))
    RegisterServices(false, find_switch("SILENT"));
  else
    run_services();
}

void TServiceApplication::run_services() {
  std::vector<std::string> names;
  for (const auto& service : services_) names.push_back(service->Name);
  std::vector<SERVICE_TABLE_ENTRYA> table;
  table.reserve(names.size() + 1);
  for (std::string& name : names) table.push_back({&name[0], service_main});
  table.push_back({nullptr, nullptr});

  // The main thread's queue must exist before the dispatcher can post to it.
  MSG message;
  PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  ScopedClosedBy<HWND> window(create_application_window(), DestroyWindow);

  running_application = this;
  TServiceStartThread dispatcher(table.data(), window.get(), GetCurrentThreadId());
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    try {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    } catch (const Exception& error) {
      DoHandleException(error);
    }
  }
  window.reset();
  dispatcher.WaitFor();
  running_application = nullptr;
  if (dispatcher.ReturnValue() != 0)
    event_logger_.LogMessage(system_error_text(dispatcher.ReturnValue()), EVENTLOG_ERROR_TYPE);
}

void TServiceApplication::DispatchServiceMain(DWORD argc, char** argv) {
  if (argc == 0 || argv == nullptr || argv[0] == nullptr) return;
  for (const auto& service : services_) {
    if (CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, service->Name.c_str(), -1, argv[0], -1) ==
        CSTR_EQUAL) {
      service->Main(argc, argv);
      return;
    }
  }
}

void TServiceApplication::RegisterServices(bool install, bool silent) {
  const Win32Calls& calls = win32_calls();
  SC_HANDLE raw_manager = calls.open_sc_manager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (raw_manager == nullptr) raise_last_os_error();
  const ScopedClosedBy<SC_HANDLE> manager(raw_manager, calls.close_service_handle);

  bool success = true;
  for (const auto& service : services_) {
    try {
      if (install)
        install_service(manager.get(), *service);
      else
        uninstall_service(manager.get(), *service);
    } catch (const Exception& error) {
      const std::string doing =
          install ? " failed to install with error: " : " failed to uninstall with error: ";
      show_dialog("Service \"" + service->DisplayName + "\"" + doing + "\"" + error.message() + "\"", "Error",
                  MB_ICONERROR);
      success = false;
    }
  }
  if (success && !silent)
    show_dialog(install ? "Service installed successfully" : "Service uninstalled successfully",
                "Information", MB_ICONINFORMATION);
}

void TServiceApplication::install_service(SC_HANDLE manager, TService& service) {
  const Win32Calls& calls = win32_calls();
  // Before anything is registered: a place that others can change would
  // hand them the service's account.
  check_install_place();
  if (service.BeforeInstall) service.BeforeInstall(&service);

  const std::string program = executable_path();
  const std::string image_path = service_image_path(program);
  const std::string display_name = service.DisplayName.empty() ? service.Name : service.DisplayName;
  const std::string dependencies = dependency_list(service.Dependencies);
  DWORD tag = service.TagID;
  SC_HANDLE raw_service = calls.create_service(
      manager, service.Name.c_str(), display_name.c_str(), SERVICE_ALL_ACCESS, service.service_type_value(),
      service.start_type_value(), service.error_control_value(), image_path.c_str(),
      service.LoadGroup.c_str(), service.TagID > 0 ? &tag : nullptr, dependencies.c_str(),
      service.ServiceStartName().empty() ? nullptr : service.ServiceStartName().c_str(),
      service.Password().c_str());
  if (raw_service == nullptr) raise_last_os_error();
  const ScopedClosedBy<SC_HANDLE> created(raw_service, calls.close_service_handle);
  if (service.TagID > 0) service.TagID = tag;

  SERVICE_DESCRIPTIONA description = {const_cast<char*>(service.Description.c_str())};
  calls.change_service_config2(raw_service, SERVICE_CONFIG_DESCRIPTION, &description);
  // Like the description: a failure here does not fail the installation.
  SERVICE_FAILURE_ACTIONSA failure_actions = service_failure_actions();
  calls.change_service_config2(raw_service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions);

  if (service.AfterInstall) {
    try {
      service.AfterInstall(&service);
    } catch (...) {
      calls.delete_service(raw_service);
      throw;
    }
  }
  register_event_source(service.Name, program);
  register_event_source(event_logger_.source(), program);
}

void TServiceApplication::uninstall_service(SC_HANDLE manager, TService& service) {
  const Win32Calls& calls = win32_calls();
  if (service.BeforeUninstall) service.BeforeUninstall(&service);
  SC_HANDLE raw_service = calls.open_service(manager, service.Name.c_str(), SERVICE_ALL_ACCESS);
  if (raw_service == nullptr) raise_last_os_error();
  const ScopedClosedBy<SC_HANDLE> opened(raw_service, calls.close_service_handle);
  if (!calls.delete_service(raw_service)) raise_last_os_error();
  remove_event_source(service.Name);
  remove_event_source(event_logger_.source());
  if (service.AfterUninstall) service.AfterUninstall(&service);
}

// --- Process entry ----------------------------------------------------------

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  keep_current_folder_out_of_library_search();
  install_crash_handler("xvVistrell");  // the service's name, its event source
  static TServiceApplication application(process_arguments());
  run_process_entry([] {
    if (!application.DelayInitialize() || application.Installing()) application.Initialize();
    application.CreateForm(&xvVistrell);
    application.Run();
  });
  return 0;
}
