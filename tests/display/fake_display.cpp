#include "tests/display/fake_display.h"

#include <cstring>

namespace {

FakeDisplay* active = nullptr;

template <std::size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::strncpy(field, text.c_str(), N - 1);
}

BOOL WINAPI fake_enum_display_devices(LPCSTR device, DWORD number, PDISPLAY_DEVICEA record, DWORD flags) {
  active->enum_calls.push_back({device == nullptr, number, record, record->cb, flags});
  if (number >= active->devices.size()) return FALSE;
  const FakeDevice& reported = active->devices[number];
  copy_field(record->DeviceName, reported.name);
  copy_field(record->DeviceString, reported.string);
  record->StateFlags = reported.flags;
  copy_field(record->DeviceID, reported.id);
  copy_field(record->DeviceKey, reported.key);
  return TRUE;
}

LONG WINAPI fake_change_display_settings_ex(LPCSTR device, DEVMODEA* mode, HWND window, DWORD flags,
                                            LPVOID parameter) {
  FakeDisplay::SettingsCall call{device ? device : "(null)", mode != nullptr, {}, window, flags, parameter};
  if (mode != nullptr) call.mode = *mode;
  active->settings_calls.push_back(call);
  if (device == nullptr) return active->apply_result;
  const auto result = active->detach_results.find(device);
  return result == active->detach_results.end() ? DISP_CHANGE_SUCCESSFUL : result->second;
}

HDC WINAPI fake_create_dc(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* data) {
  active->dc_calls.push_back(
      {driver ? driver : "(null)", device ? device : "(null)", output == nullptr, data == nullptr});
  if (device != nullptr && active->dc_failures.count(device) != 0) return nullptr;
  ++active->dcs_created;
  return reinterpret_cast<HDC>(static_cast<std::uintptr_t>(0x4000 + active->dcs_created));
}

BOOL WINAPI fake_delete_dc(HDC dc) {
  const auto number = reinterpret_cast<std::uintptr_t>(dc);
  if (number <= 0x4000 || number > 0x4000u + static_cast<unsigned>(active->dcs_created)) {
    active->deleted_unknown_dc = true;
    return FALSE;
  }
  ++active->dcs_deleted;
  return TRUE;
}

BOOL WINAPI fake_enum_display_settings(LPCSTR device, DWORD mode_number, DEVMODEA* mode) {
  active->mode_queries.push_back({device == nullptr, mode_number, mode ? mode->dmSize : 0u});
  // As Windows: a record of another size is refused, and so is one that
  // claims driver data behind it, for which the caller's record has no room.
  if (mode == nullptr || mode->dmSize != sizeof(DEVMODEA) || mode->dmDriverExtra != 0) return FALSE;
  if (mode_number == ENUM_CURRENT_SETTINGS) return TRUE;
  return mode_number < active->mode_count ? TRUE : FALSE;
}

}  // namespace

std::vector<std::string> FakeDisplay::detached_devices() const {
  std::vector<std::string> names;
  for (const SettingsCall& call : settings_calls) {
    if (call.device != "(null)") names.push_back(call.device);
  }
  return names;
}

ScopedFakeDisplay::ScopedFakeDisplay() {
  DisplayApi api = real_display_api();
  api.EnumDisplayDevicesA = fake_enum_display_devices;
  api.ChangeDisplaySettingsExA = fake_change_display_settings_ex;
  api.CreateDCA = fake_create_dc;
  api.DeleteDC = fake_delete_dc;
  api.EnumDisplaySettingsA = fake_enum_display_settings;
  active = &fake_;
  previous_ = replace_display_api(api);
}

ScopedFakeDisplay::~ScopedFakeDisplay() {
  replace_display_api(previous_);
  active = nullptr;
}
