// The neighbours of the service module that tests replace: the WMI layer
// (the firmware), the ATI display library binding, the hot-plug watcher's
// creation, the Windows version and the pause between read-backs of the
// session protocol. The process uses one table; its defaults are the real
// operations.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <memory>
#include <string>

#include "display/atidll.h"
#include "wmi/Tnotify.h"
#include "wmi/wmi.h"

// The running system's version as GetVersionExA reported it when the
// process started.
const OSVERSIONINFOA& running_windows_version();

struct ModuleCalls {
  decltype(&::WMI_read_property) WMI_read_property = ::WMI_read_property;
  decltype(&::WMI_write_property) WMI_write_property = ::WMI_write_property;

  decltype(&::ATI_load_display_interface_functions) ATI_load_display_interface_functions =
      ::ATI_load_display_interface_functions;
  decltype(&::ATI_free_display_interface_functions) ATI_free_display_interface_functions =
      ::ATI_free_display_interface_functions;
  decltype(&::ATI_enable_clone_mode) ATI_enable_clone_mode = ::ATI_enable_clone_mode;

  decltype(&TNotify::Create) create_watcher = &TNotify::Create;

  decltype(&::running_windows_version) windows_version = ::running_windows_version;
  decltype(&::Sleep) Sleep = ::Sleep;
};

// The process's table. Tests assign their own and put ModuleCalls{} back
// afterwards.
ModuleCalls& module_calls();
