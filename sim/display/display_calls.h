// The display calls of the simulated blade, put in place of the host
// executable's own imports of them.
#pragma once

#include <windows.h>

namespace display_stand_in {

// When a display set is selected: points the host executable's imports of
// EnumDisplayDevicesA, EnumDisplaySettingsA, ChangeDisplaySettingsExA,
// ChangeDisplaySettingsA, GetSystemMetrics, GetThreadDesktop,
// OpenInputDesktop, SetThreadDesktop, CloseDesktop (user32), CreateDCA and
// DeleteDC (gdi32) at the simulated display and desktops, and pins the
// library that holds them, so the host can go on calling them after it has
// freed that library. Runs in the ATI library stand-in's DllMain, that is,
// under the loader lock, before the host's first display call; writes one
// note to the call log. Does nothing when no set is selected.
void attach_to_host();

}  // namespace display_stand_in
