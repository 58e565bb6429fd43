#include "display/display_api.h"

namespace {

DisplayApi& current_display_api() {
  static DisplayApi api = real_display_api();
  return api;
}

}  // namespace

DisplayApi real_display_api() {
  DisplayApi api;
  api.EnumDisplayDevicesA = ::EnumDisplayDevicesA;
  api.ChangeDisplaySettingsExA = ::ChangeDisplaySettingsExA;
  api.CreateDCA = ::CreateDCA;
  api.DeleteDC = ::DeleteDC;
  api.EnumDisplaySettingsA = ::EnumDisplaySettingsA;
  api.GetSystemMetrics = ::GetSystemMetrics;
  api.ChangeDisplaySettingsA = ::ChangeDisplaySettingsA;
  api.GetThreadDesktop = ::GetThreadDesktop;
  api.OpenInputDesktop = ::OpenInputDesktop;
  api.SetThreadDesktop = ::SetThreadDesktop;
  api.CloseDesktop = ::CloseDesktop;
  return api;
}

const DisplayApi& display_api() { return current_display_api(); }

DisplayApi replace_display_api(const DisplayApi& api) {
  const DisplayApi previous = current_display_api();
  current_display_api() = api;
  return previous;
}
