#include "display/atidll.h"

#include "common/errors.h"
#include "common/format.h"
#include "common/scoped.h"
#include "display/ati_thunk.h"
#include "display/display_api.h"
#include "trace/trace_log.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

static_assert(sizeof(DISPLAY_DEVICEA) == 424, "DISPLAY_DEVICEA is the 424-byte record");
static_assert(sizeof(DEVMODEA) == 156, "DEVMODEA is the 156-byte record");

#if defined(__i386__)
// The thunk's text and why it is written as it is: display/ati_thunk.h.
asm(".text\n"
    ".p2align 4\n"
    ".globl _xv_call_any_convention\n"
    ".def _xv_call_any_convention; .scl 2; .type 32; .endef\n"
    "_xv_call_any_convention:\n" XV_ATI_THUNK_INSTRUCTIONS);

extern "C" std::int32_t xv_call_any_convention(FARPROC function, const AtiArgument* arguments,
                                               std::uint32_t count);
#else
// x64 Windows has one calling convention, in which the caller owns the stack
// either way. Only the 64-bit test build takes this path; the product is the
// 32-bit image.
namespace {
// Through void (*)(), the generic function pointer, as the compiler asks.
template <typename... Words>
std::int32_t call_with(FARPROC function, Words... words) {
  return reinterpret_cast<std::int32_t (*)(Words...)>(reinterpret_cast<void (*)()>(function))(words...);
}

std::int32_t xv_call_any_convention(FARPROC function, const AtiArgument* a, std::uint32_t count) {
  switch (count) {
    case 0:
      return call_with(function);
    case 1:
      return call_with(function, a[0]);
    case 2:
      return call_with(function, a[0], a[1]);
    case 3:
      return call_with(function, a[0], a[1], a[2]);
    case 4:
      return call_with(function, a[0], a[1], a[2], a[3]);
    default:
      throw TextError("Too many arguments for a library call: " + std::to_string(count));
  }
}
}  // namespace
#endif

namespace {

// The exports, in the order they are bound.
enum AtiExport {
  kDisplayGetEdidData,
  kEnumDisplays,
  kGetActiveDisplays,
  kGetAdapterID,
  kGetCapabilities,
  kGetConfiguration,
  kGetConnectedDisplays,
  kGetDisplaySettings,
  kGetDisplayVector,
  kSetConfiguration,
  kExportCount
};

const char* const kExportNames[kExportCount] = {
    "ATIDL_DisplayGetEdidData", "EnumDisplays",     "ATIDL_GetActiveDisplays", "ATIDL_GetAdapterID",
    "GetCapabilities",          "GetConfiguration", "GetConnectedDisplays",    "ATIDL_GetDisplaySettings",
    "ATIDL_GetDisplayVector",   "SetConfiguration"};

const char* const kMonitorKindNames[] = {"LCD", "CRT", "TV", "DFP", "CRT2", "DFP2", "CV", "DFPI2", "Unknown"};

const char kLibraryName[] = "atipdlxx.dll";
const char kTelvaneDriver[] = "XV Telvane Driver";
const char kRdpDriverKeyPart[] = "\\RDPDD\\";
const std::uint32_t kMaxMonitors = 8;

// Controller 0 drives display 0, controller 1 drives display 1.
struct DisplayConfiguration {
  std::uint32_t controller[2];
};
static_assert(sizeof(DisplayConfiguration) == 8, "two monitor bit vectors");
const DisplayConfiguration kCloneMode = {{0x00000001, 0x00000002}};

// The process-wide ATI function table; the handle alone says whether the
// library is loaded.
struct TAtiFunctionTable {
  HMODULE module;
  FARPROC functions[kExportCount];
};
TAtiFunctionTable ATI_function_table;

AtiArgument argument(const void* pointer) { return reinterpret_cast<AtiArgument>(pointer); }

std::int32_t call_ati(AtiExport which, std::initializer_list<AtiArgument> arguments) {
  return call_any_convention(ATI_function_table.functions[which], arguments.begin(),
                             static_cast<std::uint32_t>(arguments.size()));
}

// A text field of a Windows record, read no further than the field even when
// its terminating zero is missing.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  return std::string(field, std::find(field, field + N, '\0'));
}

void require_list(const TAdapterList* adapters) {
  if (adapters == nullptr) throw TextError("List of adapters must be provided by the caller");
}

// Whether any adapter of the list answers the query with true; the answer is
// traced after the label.
bool any_adapter(const TAdapterList* adapters, bool (TAdapter::*query)() const, const char* label) {
  require_list(adapters);
  const bool found = std::any_of(adapters->begin(), adapters->end(), [query](const auto& adapter) {
    return adapter != nullptr && (adapter.get()->*query)();
  });
  trace(label + std::string(found ? "true" : "false"), 1);
  return found;
}

DisplayConfiguration read_display_configuration(std::int32_t adapter_index) {
  DisplayConfiguration configuration = {{0, 0}};
  if (call_ati(kGetConfiguration, {static_cast<AtiArgument>(adapter_index), sizeof configuration,
                                   argument(&configuration)}) != 0) {
    throw TextError("Unable to determine the current monitor configuration");
  }
  return configuration;
}

void trace_display_configuration(const DisplayConfiguration& configuration) {
  for (int c = 0; c < 2; ++c) {
    trace("  Controller " + std::to_string(c) +
              " monitor bit vector: " + format_hex(configuration.controller[c]),
          1);
  }
}

bool is_clone_mode(const DisplayConfiguration& configuration) {
  return configuration.controller[0] == kCloneMode.controller[0] &&
         configuration.controller[1] == kCloneMode.controller[1];
}

void unbind_library() {
  std::fill(std::begin(ATI_function_table.functions), std::end(ATI_function_table.functions), nullptr);
}

// Whether the library can be called into. The handle alone does not say so:
// a release that the system refused keeps the handle but has already
// cleared the functions.
bool library_bound() {
  return ATI_function_table.module != nullptr &&
         std::none_of(std::begin(ATI_function_table.functions), std::end(ATI_function_table.functions),
                      [](FARPROC function) { return function == nullptr; });
}

}  // namespace

std::int32_t call_any_convention(FARPROC function, const AtiArgument* arguments, std::uint32_t count) {
  return xv_call_any_convention(function, arguments, count);
}

// ---- TAdapter

TAdapter::TAdapter(const DISPLAY_DEVICEA& device) : device_(device) {}

TAdapter::~TAdapter() = default;

bool TAdapter::is_attached_to_desktop() const {
  return (device_.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
}

bool TAdapter::is_primary_device() const { return (device_.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0; }

bool TAdapter::is_mirroring_driver() const {
  return (device_.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0;
}

bool TAdapter::is_RDP_driver() const {
  return field_text(device_.DeviceKey).find(kRdpDriverKeyPart) != std::string::npos;
}

bool TAdapter::is_TLV_driver() const { return field_text(device_.DeviceString) == kTelvaneDriver; }

// ---- The inventory and its checks

void enumerate_adapters(TAdapterList* adapters) {
  trace(">> enumerate_adapters", 2);
  if (adapters == nullptr) throw TextError("List of adapters must be provided by the caller");
  // One record for every device; Windows overwrites what it reports.
  DISPLAY_DEVICEA device;
  std::memset(&device, 0, sizeof device);
  device.cb = sizeof device;
  for (DWORD n = 0; display_api().EnumDisplayDevicesA(nullptr, n, &device, 0); ++n) {
    trace("Adapter " + std::to_string(n) + "\n  Device: " + field_text(device.DeviceName) + "\n  Name:   " +
              field_text(device.DeviceString) + "\n  State:  " + format_hex(device.StateFlags) +
              "\n  PnP ID: " + field_text(device.DeviceID) + "\n  Key:    " + field_text(device.DeviceKey),
          1);
    if ((device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0) {
      trace("  Attached to desktop", 1);
      adapters->push_back(std::make_unique<TAdapter>(device));
    }
  }
  trace("<< enumerate_adapters", 2);
}

bool is_RDP_connection(const TAdapterList* adapters) {
  trace(">> is_RDP_connection", 2);
  const bool connected = any_adapter(adapters, &TAdapter::is_RDP_driver, "RDP is connected: ");
  trace("<< is_RDP_connection", 2);
  return connected;
}

bool is_TLV_running(const TAdapterList* adapters) {
  trace(">> is_TLV_running", 2);
  const bool running = any_adapter(adapters, &TAdapter::is_TLV_driver, "TLV is running: ");
  trace("<< is_TLV_running", 2);
  return running;
}

std::int32_t find_primary_ATI_controller(const TAdapterList* adapters) {
  trace(">> find_primary_ATI_controller", 2);
  require_list(adapters);
  std::int32_t found = -1;
  for (std::size_t i = 0; i < adapters->size() && found == -1; ++i) {
    const TAdapter* adapter = (*adapters)[i].get();
    if (adapter == nullptr || !adapter->is_attached_to_desktop() || !adapter->is_primary_device()) {
      continue;
    }
    // The device context only proves that the device can be opened.
    const DisplayApi& api = display_api();
    const char* name = adapter->device().DeviceName;
    ScopedDC probe(api.CreateDCA(name, name, nullptr, nullptr), api.DeleteDC);
    if (!probe) continue;
    std::uint32_t identifier = 0;
    if (call_ati(kGetAdapterID, {static_cast<AtiArgument>(i), argument(&identifier)}) == 0 &&
        identifier != 0) {
      trace("First ATI adapter found (id = " + format_hex(identifier) + ")", 1);
      found = static_cast<std::int32_t>(i);
    }
  }
  if (found == -1) throw TextError("ATI graphics adapter not found, we're done");
  trace("<< find_primary_ATI_controller", 2);
  return found;
}

void disable_extended_desktop_mode(const TAdapterList* adapters) {
  trace(">> disable_extended_desktop_mode", 2);
  if (adapters == nullptr) throw TextError("List of adapters must be provided by caller");
  for (std::size_t i = 0; i < adapters->size(); ++i) {
    const TAdapter* adapter = (*adapters)[i].get();
    if (adapter == nullptr || !adapter->is_attached_to_desktop() || adapter->is_mirroring_driver() ||
        adapter->is_primary_device()) {
      continue;
    }
    trace("Disabling adapter " + std::to_string(i) + " (" + field_text(adapter->device().DeviceString) + ")",
          1);
    disable_monitor(adapter->device());
  }
  trace("<< disable_extended_desktop_mode", 2);
}

void disable_monitor(DISPLAY_DEVICEA device) {
  trace(">> disable_monitor", 2);
  // Position (0, 0) and size 0 × 0 take the display off the desktop.
  DEVMODEA mode;
  std::memset(&mode, 0, sizeof mode);
  mode.dmSize = sizeof mode;
  mode.dmFields = DM_POSITION | DM_PELSWIDTH | DM_PELSHEIGHT;
  const std::string name = field_text(device.DeviceName);
  const DisplayApi& api = display_api();
  // Stored in the registry now, applied for all devices at once below.
  LONG result = api.ChangeDisplaySettingsExA(name.c_str(), &mode, nullptr,
                                             CDS_UPDATEREGISTRY | CDS_GLOBAL | CDS_NORESET, nullptr);
  if (result == DISP_CHANGE_SUCCESSFUL) {
    trace("Updated adapter " + name + "'s registery settings", 1);
    result = api.ChangeDisplaySettingsExA(nullptr, nullptr, nullptr, 0, nullptr);
  }
  if (result != DISP_CHANGE_SUCCESSFUL) {
    throw TextError("Unable to detach adapter " + name + " from desktop (" +
                    format_hex(static_cast<std::uint32_t>(result)) + ")");
  }
  trace("Detached adapter from desktop", 1);
  trace("<< disable_monitor", 2);
}

const char* monitor_kind_name(std::uint32_t code) {
  // Code 0 wraps around to the largest value and lands on the last name.
  const std::uint32_t last = sizeof kMonitorKindNames / sizeof kMonitorKindNames[0] - 1;
  return kMonitorKindNames[std::min(code - 1u, last)];
}

void enumerate_ATI_monitors(std::int32_t adapter_index) {
  trace(">> enumerate_ATI_monitors", 2);
  for (std::uint32_t d = 0; d < kMaxMonitors; ++d) {
    std::uint32_t kind = 0;
    if (call_ati(kEnumDisplays, {static_cast<AtiArgument>(adapter_index), d, argument(&kind)}) == 0) {
      break;
    }
    trace("Monitor " + std::to_string(d) + " is a " + monitor_kind_name(kind), 1);
  }
  trace("<< enumerate_ATI_monitors", 2);
}

bool is_local_connection(std::int32_t adapter_index) {
  trace(">> is_local_connection", 2);
  std::uint32_t connected = 0;
  if (call_ati(kGetConnectedDisplays, {static_cast<AtiArgument>(adapter_index), argument(&connected)}) != 0) {
    throw TextError("Unable to get the list of monitors connected to the graphics adapter");
  }
  trace("Bit vector of connected displays: " + format_hex(connected), 1);
  trace("<< is_local_connection", 2);
  return connected == 0x00000001;
}

bool check_adapter_configuration(std::int32_t adapter_index) {
  trace(">> check_adapter_configuration", 2);
  std::uint32_t controllers = 0;
  std::uint32_t ports = 0;
  if (call_ati(kGetCapabilities,
               {static_cast<AtiArgument>(adapter_index), argument(&controllers), argument(&ports)}) != 0) {
    throw TextError("Unable to determine the number of controllers or monitors on the graphics adapter");
  }
  trace("Adapter has " + std::to_string(controllers) + " controllers and " + std::to_string(ports) +
            " monitor ports",
        1);
  trace("<< check_adapter_configuration", 2);
  return controllers == 2 && ports == 2;
}

std::int32_t verify_configuration_and_get_ATI_adapter() {
  trace(">> verify_configuration_and_get_ATI_adapter", 2);
  std::int32_t adapter_index = -1;
  {
    // The list and its adapters go at the end of this block, errors included.
    TAdapterList adapters;
    enumerate_adapters(&adapters);
    if (is_RDP_connection(&adapters)) throw TextError("Connected via RDP, we're done");
    if (!is_TLV_running(&adapters)) throw TextError("TLV is not running, we're done");
    adapter_index = find_primary_ATI_controller(&adapters);
    disable_extended_desktop_mode(&adapters);
    enumerate_ATI_monitors(adapter_index);
  }
  if (is_local_connection(adapter_index)) {
    throw TextError("Local diagnostic adapter connected, we're done");
  }
  if (!check_adapter_configuration(adapter_index)) {
    throw TextError("ATI controller is in an unexpected state");
  }
  trace("<< verify_configuration_and_get_ATI_adapter", 2);
  return adapter_index;
}

// ---- The ATI display library

std::string ATI_library_path() {
  char folder[MAX_PATH + 1];
  const UINT length = GetSystemDirectoryA(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return "";
  std::string path(folder, length);
  if (path.back() != '\\') path += '\\';
  return path + kLibraryName;
}

HMODULE ATI_library_handle() { return ATI_function_table.module; }

void ATI_load_display_interface_functions() {
  trace(">> ATI_load_display_interface_functions", 2);
  // The service runs as LocalSystem: the library is taken from the system
  // directory, where the display driver installs it, and never from the
  // current directory or a PATH folder that someone else could write to.
  // Its own dependencies are looked up beside it first.
  const std::string path = ATI_library_path();
  const UINT previous_mode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  ATI_function_table.module =
      path.empty() ? nullptr : LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  SetErrorMode(previous_mode);
  if (ATI_function_table.module == nullptr) throw TextError("Unable to load ATI DLL");

  for (int i = 0; i < kExportCount; ++i) {
    trace(std::string("  Getting address of exported function ") + kExportNames[i], 2);
    const FARPROC function = GetProcAddress(ATI_function_table.module, kExportNames[i]);
    if (function == nullptr) {
      // A partly bound table is never called into: the library goes again.
      const DWORD code = GetLastError();
      unbind_library();
      FreeLibrary(ATI_function_table.module);
      ATI_function_table.module = nullptr;
      throw EOSError(code);
    }
    ATI_function_table.functions[i] = function;
  }
  trace("<< ATI_load_display_interface_functions", 2);
}

void ATI_free_display_interface_functions() {
  trace(">> ATI_free_display_interface_functions", 2);
  unbind_library();
  if (ATI_function_table.module != nullptr && !FreeLibrary(ATI_function_table.module)) {
    raise_last_os_error();
  }
  ATI_function_table.module = nullptr;
  trace("<< ATI_free_display_interface_functions", 2);
}

bool ATI_enable_clone_mode() {
  trace(">> ATI_enable_clone_mode", 2);
  if (!library_bound()) {
    throw TextError("Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode");
  }
  bool selection_failed = false;
  const std::int32_t adapter_index = verify_configuration_and_get_ATI_adapter();

  DisplayConfiguration configuration = read_display_configuration(adapter_index);
  trace("Current display configuration:", 1);
  trace_display_configuration(configuration);

  if (is_clone_mode(configuration)) {
    trace("Desktop is already configured in clone mode", 1);
  } else {
    configuration = kCloneMode;
    if (call_ati(kSetConfiguration, {static_cast<AtiArgument>(adapter_index), sizeof configuration,
                                     argument(&configuration)}) != 0) {
      trace("Unable to select clone mode configuration", 1);
      selection_failed = true;
    }
    configuration = read_display_configuration(adapter_index);
    trace("New display configuration:", 1);
    trace_display_configuration(configuration);
  }

  get_Windows_to_update_desktop_settings();
  trace("<< ATI_enable_clone_mode", 2);
  return selection_failed;
}

void get_Windows_to_update_desktop_settings() {
  trace(">> get_Windows_to_update_desktop_settings", 2);
  DEVMODEA mode;
  std::memset(&mode, 0, sizeof mode);
  mode.dmSize = sizeof mode;
  // Walking the whole mode list makes Windows pick up the new configuration.
  const DisplayApi& api = display_api();
  api.EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode);
  for (DWORD m = 0; api.EnumDisplaySettingsA(nullptr, m, &mode); ++m) {
  }
  trace("<< get_Windows_to_update_desktop_settings", 2);
}
