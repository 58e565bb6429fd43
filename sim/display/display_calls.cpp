#include "sim/display/display_calls.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/format.h"
#include "sim/ati/ati_state.h"
#include "sim/display/desktop_calls.h"
#include "sim/display/display_set.h"
#include "sim/display/host_imports.h"

namespace display_stand_in {
namespace {

std::string device_text(const char* device) { return device == nullptr ? "NULL" : device; }

std::string record_sizes_text(const DEVMODEA* mode) {
  std::string text;
  if (mode->dmSize != sizeof(DEVMODEA)) text += " size=" + std::to_string(mode->dmSize);
  if (mode->dmDriverExtra != 0) text += " extra=" + std::to_string(mode->dmDriverExtra);
  return text;
}

std::string size_text(DWORD width, DWORD height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// What a record asks for: the size, the position when it names one, the
// fields it sets, and its sizes when they are not those of a plain DEVMODEA.
std::string mode_text(const DEVMODEA* mode) {
  if (mode == nullptr) return "NULL";
  std::string text = size_text(mode->dmPelsWidth, mode->dmPelsHeight);
  if ((mode->dmFields & DM_POSITION) != 0)
    text += " at " + std::to_string(mode->dmPosition.x) + "," + std::to_string(mode->dmPosition.y);
  return text + " fields=" + format_hex(mode->dmFields) + record_sizes_text(mode);
}

void log_call(const std::string& line) { ati_stand_in::append_call_log(line); }

template <std::size_t N>
void copy_field(char (&field)[N], const char* text) {
  lstrcpynA(field, text, static_cast<int>(N));
}

// The device contexts handed out for simulated displays, so that their
// release can be told from others and logged.
class HandedOutContexts {
 public:
  void add(HDC dc) {
    const std::lock_guard<std::mutex> lock(mutex_);
    contexts_.push_back(dc);
  }
  bool remove(HDC dc) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find(contexts_.begin(), contexts_.end(), dc);
    if (found == contexts_.end()) return false;
    contexts_.erase(found);
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<HDC> contexts_;
};

HandedOutContexts& handed_out() {
  static HandedOutContexts* contexts = new HandedOutContexts;  // used until the process ends
  return *contexts;
}

// Each call goes to Wine's own function once the set is switched off.
// Monitors of one adapter (a device name given) are not modelled.
BOOL WINAPI enum_display_devices(LPCSTR device, DWORD number, PDISPLAY_DEVICEA record, DWORD flags) {
  const DisplayState state = load_state();
  if (state.set.empty()) return EnumDisplayDevicesA(device, number, record, flags);
  const auto& list = devices(state);
  if (device != nullptr || record == nullptr || number >= list.size() || record->cb < sizeof *record)
    return FALSE;
  const Device& found = list[number];
  copy_field(record->DeviceName, found.name);
  copy_field(record->DeviceString, found.text);
  record->StateFlags =
      is_attached(state, number) ? found.flags : found.flags & ~DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
  copy_field(record->DeviceID, found.id);
  copy_field(record->DeviceKey, found.key);
  return TRUE;
}

// Which mode a query asks for: the current one of a display on the
// desktop, the one its registry settings hold, or one of the primary's
// modes by number; none for a record Windows refuses.
Mode queried_mode(const DisplayState& state, LPCSTR device, DWORD number, const DEVMODEA* mode) {
  const int index = find_device(state, device);
  // A plain DEVMODEA has no room for the driver's private data behind it.
  if (index < 0 || mode == nullptr || mode->dmSize != sizeof(DEVMODEA) || mode->dmDriverExtra != 0)
    return {0, 0};
  const auto display = static_cast<std::size_t>(index);
  if (number == ENUM_CURRENT_SETTINGS) return display_mode(state, display);
  if (number == ENUM_REGISTRY_SETTINGS) return registry_mode(state, display);
  const std::vector<Mode> modes = mode_list(state);
  if (number < modes.size() && display_mode(state, display).width != 0 &&
      (devices(state)[display].flags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0) {
    return modes[number];
  }
  return {0, 0};
}

BOOL WINAPI enum_display_settings(LPCSTR device, DWORD number, DEVMODEA* mode) {
  const DisplayState state = load_state();
  if (state.set.empty()) return EnumDisplaySettingsA(device, number, mode);
  const Mode found = queried_mode(state, device, number, mode);
  log_call("EnumDisplaySettingsA " + device_text(device) + " " + std::to_string(static_cast<int>(number)) +
           (mode == nullptr ? " NULL" : record_sizes_text(mode)) + " -> " +
           (found.width == 0 ? std::string("none") : size_text(found.width, found.height)));
  if (found.width == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  mode->dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY;
  mode->dmBitsPerPel = 32;
  mode->dmPelsWidth = found.width;
  mode->dmPelsHeight = found.height;
  mode->dmDisplayFrequency = 60;
  return TRUE;
}

LONG change_and_log(const std::string& call, LPCSTR device, const DEVMODEA* mode, DWORD flags) {
  DisplayState state = load_state();
  const LONG result = change_settings(&state, device, mode, flags);
  if (result == DISP_CHANGE_SUCCESSFUL) save_state(state);
  log_call(call + " -> " + std::to_string(result));
  return result;
}

LONG WINAPI change_display_settings_ex(LPCSTR device, DEVMODEA* mode, HWND window, DWORD flags,
                                       LPVOID parameter) {
  if (load_state().set.empty()) return ChangeDisplaySettingsExA(device, mode, window, flags, parameter);
  return change_and_log("ChangeDisplaySettingsExA " + device_text(device) + " " + mode_text(mode) +
                            " flags=" + format_hex(flags),
                        device, mode, flags);
}

// The default display's mode, which a thread changes only from the desktop
// that receives input.
LONG WINAPI change_display_settings(DEVMODEA* mode, DWORD flags) {
  if (load_state().set.empty()) return ChangeDisplaySettingsA(mode, flags);
  const std::string desktop = current_desktop();
  const std::string call =
      "ChangeDisplaySettingsA " + mode_text(mode) + " flags=" + format_hex(flags) + " on " + desktop;
  if (desktop != kInputDesktop) {
    log_call(call + " -> " + std::to_string(DISP_CHANGE_FAILED) + " (not the input desktop)");
    return DISP_CHANGE_FAILED;
  }
  return change_and_log(call, nullptr, mode, flags);
}

int WINAPI get_system_metrics(int index) {
  const DisplayState state = load_state();
  if (state.set.empty()) return GetSystemMetrics(index);
  const RECT screen = virtual_screen(state);
  switch (index) {
    case SM_XVIRTUALSCREEN:
      return screen.left;
    case SM_YVIRTUALSCREEN:
      return screen.top;
    case SM_CXVIRTUALSCREEN:
      return screen.right - screen.left;
    case SM_CYVIRTUALSCREEN:
      return screen.bottom - screen.top;
    case SM_CXSCREEN:
      return static_cast<int>(state.width);
    case SM_CYSCREEN:
      return static_cast<int>(state.height);
    case SM_CMONITORS:
      return monitor_count(state);
    default:
      return GetSystemMetrics(index);
  }
}

// A memory device context stands for the context of a simulated display
// on the desktop; there is none for a display off it.
HDC WINAPI create_dc(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* data) {
  const DisplayState state = load_state();
  const int index = device == nullptr ? -1 : find_device(state, device);
  if (index < 0) return CreateDCA(driver, device, output, data);
  HDC dc = is_attached(state, static_cast<std::size_t>(index)) ? CreateCompatibleDC(nullptr) : nullptr;
  if (dc != nullptr) handed_out().add(dc);
  log_call("CreateDCA " + device_text(device) + " -> " + (dc != nullptr ? "a device context" : "NULL"));
  return dc;
}

BOOL WINAPI delete_dc(HDC dc) {
  const bool simulated = handed_out().remove(dc);
  const BOOL deleted = DeleteDC(dc);
  if (simulated) log_call("DeleteDC -> " + std::to_string(deleted));
  return deleted;
}

template <typename Function>
ImportReplacement replacement(const char* name, Function* function) {
  return {name, reinterpret_cast<ULONG_PTR>(function)};
}

std::string host_name(HMODULE host) {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(host, path, MAX_PATH);
  const std::string whole(path, length < MAX_PATH ? length : 0);
  return whole.substr(whole.find_last_of("\\/") + 1);
}

}  // namespace

void attach_to_host() {
  if (load_state().set.empty()) return;
  HMODULE host = GetModuleHandleA(nullptr);
  const std::vector<ImportReplacement> user32 = {
      replacement("EnumDisplayDevicesA", enum_display_devices),
      replacement("EnumDisplaySettingsA", enum_display_settings),
      replacement("ChangeDisplaySettingsExA", change_display_settings_ex),
      replacement("ChangeDisplaySettingsA", change_display_settings),
      replacement("GetSystemMetrics", get_system_metrics),
      replacement("GetThreadDesktop", get_thread_desktop),
      replacement("OpenInputDesktop", open_input_desktop),
      replacement("SetThreadDesktop", set_thread_desktop),
      replacement("CloseDesktop", close_desktop)};
  const std::vector<ImportReplacement> gdi32 = {replacement("CreateDCA", create_dc),
                                                replacement("DeleteDC", delete_dc)};
  const int replaced =
      replace_imports(host, "user32.dll", user32) + replace_imports(host, "gdi32.dll", gdi32);
  if (replaced > 0) {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&attach_to_host), &self);
  }
  log_call("display stand-in: " + std::to_string(replaced) + " imports of " + host_name(host) + " replaced");
}

}  // namespace display_stand_in
