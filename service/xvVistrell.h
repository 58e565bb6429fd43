// The service application: the object that installs, removes and runs the
// service modules of the process, and the thread that runs the service
// control dispatcher.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "common/errors.h"
#include "common/scoped.h"
#include "service/service_base.h"

// A switch is "-" or "/" followed by its letters in any case, the whole
// argument.
bool is_switch(const std::string& argument, const std::string& name);

// The text of the "Application Error" box.
std::string application_error_text(const Exception& error, const std::string& module_name);

// Runs the steps of the process entry. An Exception that leaves them is shown
// in the task-modal "Application Error" box; any other error is shown the same
// way as an Exception with an empty message.
void run_process_entry(const std::function<void()>& steps);

// The window procedure of the hidden application window.
LRESULT CALLBACK application_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Event-source registration under the Application log, so an event viewer
// finds the message table: the executable as message file, types 7.
// Failures are ignored; removal of a missing key does nothing.
void register_event_source(const std::string& source, const std::string& message_file);
void remove_event_source(const std::string& source);
std::string event_source_key(const std::string& source);

// Runs StartServiceCtrlDispatcherA with the service table and keeps 0 or the
// error number of a failed call; posts a quit message when it ends.
class TServiceStartThread {
 public:
  // Starts at once. The quit message goes to quit_window, or, when there is
  // no window, to the thread quit_thread.
  TServiceStartThread(const SERVICE_TABLE_ENTRYA* table, HWND quit_window, DWORD quit_thread);
  ~TServiceStartThread();
  TServiceStartThread(const TServiceStartThread&) = delete;
  TServiceStartThread& operator=(const TServiceStartThread&) = delete;

  void WaitFor();
  DWORD ReturnValue() const { return return_value_; }

 private:
  static unsigned __stdcall run(void* self);

  const SERVICE_TABLE_ENTRYA* table_;
  HWND quit_window_;
  DWORD quit_thread_;
  DWORD return_value_ = 0;
  ScopedHandle handle_;
};

class TServiceApplication : public TServiceHost {
 public:
  // arguments: the command-line arguments after the program name.
  explicit TServiceApplication(std::vector<std::string> arguments);
  ~TServiceApplication() override;
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;

  void Initialize();
  bool Installing() const;
  // Creates a module owned by this object and stores it in *reference; any
  // other class goes to the components of the application framework.
  template <class T>
  void CreateForm(T** reference);
  void Run();
  void RegisterServices(bool install, bool silent);
  void DispatchServiceMain(DWORD argc, char** argv);
  void DoHandleException(const Exception& error);

  // Destroys the framework's components, then the service modules.
  void DestroyComponents();

  int ServiceCount() const override { return static_cast<int>(services_.size()); }
  bool DelayInitialize() const override { return delay_initialize_; }
  void InitializeApplication() override { initialized_ = true; }
  bool Initialized() const { return initialized_; }
  const std::vector<std::unique_ptr<TService>>& Services() const { return services_; }

 private:
  bool find_switch(const std::string& name) const;
  void run_services();
  void install_service(SC_HANDLE manager, TService& service);
  void uninstall_service(SC_HANDLE manager, TService& service);

  std::vector<std::string> arguments_;
  bool delay_initialize_ = false;
  bool initialized_ = false;
  TEventLogger event_logger_;
  std::vector<std::shared_ptr<void>> framework_components_;
  std::vector<std::unique_ptr<TService>> services_;
};

template <class T>
void TServiceApplication::CreateForm(T** reference) {
  if constexpr (std::is_base_of<TService, T>::value) {
    auto module = std::make_unique<T>(this);
    *reference = module.get();
    services_.push_back(std::move(module));
  } else {
    auto component = std::make_shared<T>();
    *reference = component.get();
    framework_components_.push_back(std::move(component));
  }
}
