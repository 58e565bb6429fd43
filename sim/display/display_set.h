// The display hardware of a simulated blade: which display devices there
// are, which of them are on the desktop, the primary display's mode, and what
// a display-settings change does to them. Shared by every process of a Wine
// prefix through HKLM\Software\XVSim\Display:
//
//   Set              REG_SZ, the display set's name; without it the stand-in
//                    is off and a process sees Wine's own display
//   Detached         DWORD, bit N: device N is off the desktop
//   Pending          DWORD, bit N: device N's detach is in the registry
//                    settings, not applied yet
//   Width, Height    DWORD, the primary display's current mode
//   PendingWidth, PendingHeight   DWORD, a mode in the registry settings
//                    that is not applied yet (0: none)
//
// The display calls are written to the ATI library stand-in's call log, so
// one log holds the graphics hardware's calls in the order they came.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace display_stand_in {

// One display device as EnumDisplayDevicesA reports it when it is on the
// desktop; flags holds DISPLAY_DEVICE_ATTACHED_TO_DESKTOP then. The primary
// display is the first device of every set.
struct Device {
  const char* name;
  const char* text;
  DWORD flags;
  const char* id;
  const char* key;
};

struct DisplaySetInfo {
  const char* name;
  const char* description;
};

// The sets the control command offers, the blade first.
std::vector<DisplaySetInfo> display_sets();

struct DisplayState {
  std::string set;  // empty: the stand-in is off
  DWORD detached = 0;
  DWORD pending = 0;
  DWORD width = 0;
  DWORD height = 0;
  DWORD pending_width = 0;
  DWORD pending_height = 0;
};

DisplayState load_state();
void save_state(const DisplayState& state);

// Puts the named set in place in its state at power-on, and the ATI library
// stand-in's controllers, connected displays and configuration to match it.
// False for an unknown name.
bool select_set(const std::string& name);
// Removes the display state: Wine's own display again.
void switch_off();

const std::vector<Device>& devices(const DisplayState& state);
bool is_attached(const DisplayState& state, std::size_t index);
// The index of the device of that name, or -1.
int find_device(const DisplayState& state, const std::string& name);

struct Mode {
  DWORD width;
  DWORD height;
};
// The primary display's modes, smallest first.
const std::vector<Mode>& mode_list();
// The size of a display that is on the desktop; mirroring drivers have none.
Mode display_mode(const DisplayState& state, std::size_t index);

// The bounding rectangle of the displays on the desktop, which lie side by
// side from the primary's top left corner.
RECT virtual_screen(const DisplayState& state);
int monitor_count(const DisplayState& state);

// ChangeDisplaySettingsExA against the state: device null with mode null
// applies what the registry settings hold; a 0 × 0 mode takes a secondary
// display off the desktop; another mode changes the primary's resolution.
// CDS_UPDATEREGISTRY | CDS_NORESET only stores the change.
LONG change_settings(DisplayState* state, const char* device, const DEVMODEA* mode, DWORD flags);

}  // namespace display_stand_in
