// Graphics adapter control: the inventory of display devices and the checks
// that decide whether clone mode may be applied, and the binding of the ATI
// display library (atipdlxx.dll) that switches the ATI adapter's two
// controllers into clone mode.
//
// Failures and the "we're done" outcomes are raised as TextError; a missing
// export or a failed unload raises EOSError. Everything runs on the service
// thread; the ATI function table is process-wide and unlocked.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One display device as EnumDisplayDevicesA reported it; never changed.
class TAdapter {
 public:
  explicit TAdapter(const DISPLAY_DEVICEA& device);
  virtual ~TAdapter();
  TAdapter(const TAdapter&) = delete;
  TAdapter& operator=(const TAdapter&) = delete;

  const DISPLAY_DEVICEA& device() const { return device_; }

  bool is_attached_to_desktop() const;
  bool is_primary_device() const;
  bool is_mirroring_driver() const;
  bool is_RDP_driver() const;
  bool is_TLV_driver() const;

 private:
  DISPLAY_DEVICEA device_;
};

// The devices attached to the desktop, in Windows' order; the position is
// the adapter index given to the ATI display library.
using TAdapterList = std::vector<std::unique_ptr<TAdapter>>;

// The inventory and its checks.
void enumerate_adapters(TAdapterList* adapters);
bool is_RDP_connection(const TAdapterList* adapters);
bool is_TLV_running(const TAdapterList* adapters);
std::int32_t find_primary_ATI_controller(const TAdapterList* adapters);
void disable_extended_desktop_mode(const TAdapterList* adapters);
void disable_monitor(DISPLAY_DEVICEA device);
void enumerate_ATI_monitors(std::int32_t adapter_index);
bool is_local_connection(std::int32_t adapter_index);
bool check_adapter_configuration(std::int32_t adapter_index);
// The ATI adapter index when clone mode is to be applied; raises a
// TextError saying why not otherwise.
std::int32_t verify_configuration_and_get_ATI_adapter();

// The name of a monitor kind code reported by EnumDisplays.
const char* monitor_kind_name(std::uint32_t code);

// The ATI display library.
void ATI_load_display_interface_functions();
void ATI_free_display_interface_functions();
// True when selecting clone mode was tried and the library refused it.
bool ATI_enable_clone_mode();
void get_Windows_to_update_desktop_settings();

// The loaded library's handle; null while it is not loaded.
HMODULE ATI_library_handle();

// Where the library is loaded from: the file in the Windows system directory.
std::string ATI_library_path();

// One argument of a library call: a 32-bit value or a pointer, one machine
// word wide.
using AtiArgument = std::uintptr_t;
#if defined(__i386__)
// The 32-bit thunk pushes each argument as one 4-byte stack slot.
static_assert(sizeof(AtiArgument) == 4, "an argument is one 32-bit stack slot");
#endif

// Calls a library export with word arguments and gives its 32-bit result,
// whether the export is __stdcall or __cdecl.
std::int32_t call_any_convention(FARPROC function, const AtiArgument* arguments, std::uint32_t count);
