// The display hardware of a simulated blade: which display devices there
// are, which of them are on the desktop now and in the registry settings,
// the primary display's mode now and in the registry settings, and what a
// display-settings change, a controller configuration or the diagnostic
// adapter's display does to them. Shared by every process of a Wine prefix
// through HKLM\Software\XVSim\Display:
//
//   Set                REG_SZ, the display set's name; without it the stand-in
//                      is off and a process sees Wine's own display
//   Detached           DWORD, bit N: device N is off the desktop now
//   RegistryDetached   DWORD, bit N: the registry settings have device N off
//                      the desktop
//   Width, Height      DWORD, the primary display's current mode
//   RegistryWidth, RegistryHeight   DWORD, its mode in the registry settings
//   FailDesktop        REG_SZ, GetThreadDesktop, OpenInputDesktop or
//                      SetThreadDesktop: that desktop call fails (desktop_calls.h)
//
// One blade, not two halves: the ATI library stand-in's configuration
// (HKLM\Software\XVSim\ATI, Config0 and Config1) and connected displays
// follow the displays, and the displays follow the configuration:
// - the device that shows controller 1's own desktop (extended desktop)
//   going off the desktop leaves controller 1 driving nothing (Config1 0);
// - selecting a configuration gives controller 1 no desktop of its own
//   (clone mode, or nothing), so that device goes off the desktop; in clone
//   mode the primary's modes are those both displays show, and the doubled
//   modes the Telvane sender uses;
// - the diagnostic adapter's display, plugged, takes over the second
//   display's connector and controller 1: the adapter reports display 0
//   alone connected and controller 1 driving none of its displays (Config1
//   0); unplugged, the set's displays are connected again, and controller 1
//   stays idle until a configuration is selected.
//
// The display calls are written to the ATI library stand-in's call log, so
// one log holds the graphics hardware's calls in the order they came.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace display_stand_in {

// One display device as EnumDisplayDevicesA reports it when it is on the
// desktop; flags holds DISPLAY_DEVICE_ATTACHED_TO_DESKTOP then. The ATI
// adapter's devices name the controller whose desktop they show.
struct Device {
  const char* name;
  const char* text;
  DWORD flags;
  const char* id;
  const char* key;
  int controller;  // 0 or 1 for the ATI adapter's desktops; -1 for others
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
  DWORD registry_detached = 0;
  DWORD width = 0;
  DWORD height = 0;
  DWORD registry_width = 0;
  DWORD registry_height = 0;
  std::string fail_desktop;  // the desktop call that fails, or empty
};

DisplayState load_state();
void save_state(const DisplayState& state);

// Puts the named set in place in its state at power-on, and the ATI library
// stand-in's adapter index, controllers, connected displays and
// configuration to match it. False for an unknown name.
bool select_set(const std::string& name);
// Removes the display state: Wine's own display again.
void switch_off();

const std::vector<Device>& devices(const DisplayState& state);
bool is_attached(const DisplayState& state, std::size_t index);
bool is_registry_attached(const DisplayState& state, std::size_t index);
// The index of the device of that name, or -1; the primary display's index
// for no name.
int find_device(const DisplayState& state, const char* name);

struct Mode {
  DWORD width;
  DWORD height;
};
// Whether the ATI adapter shows one desktop on both controllers.
bool is_clone_mode(const DisplayState& state);
// The primary display's modes, smallest first; in clone mode those both
// displays show, and the doubled ones.
std::vector<Mode> mode_list(const DisplayState& state);
// The size of a display on the desktop, now or in the registry settings;
// mirroring drivers and displays off the desktop have none.
Mode display_mode(const DisplayState& state, std::size_t index);
Mode registry_mode(const DisplayState& state, std::size_t index);

// The bounding rectangle of the displays on the desktop, which lie side by
// side from the primary's top left corner.
RECT virtual_screen(const DisplayState& state);
int monitor_count(const DisplayState& state);

// ChangeDisplaySettingsExA against the state, as Windows documents it:
// - device null with mode null applies the registry settings (and so undoes
//   a dynamic mode change made with flags 0);
// - a record with DM_POSITION and zero width and height takes a display
//   other than the primary off the desktop;
// - another mode changes the primary's resolution, to one of its modes;
// - flags 0 change the display now only, CDS_UPDATEREGISTRY now and in the
//   registry settings, with CDS_NORESET in the registry settings only.
// A record whose dmSize is not that of DEVMODEA, or that claims driver data
// behind it (dmDriverExtra, for which a DEVMODEA has no room), is a bad mode.
LONG change_settings(DisplayState* state, const char* device, const DEVMODEA* mode, DWORD flags);

// The ATI adapter's configuration was selected (SetConfiguration): the
// device of controller 1's own desktop goes off the desktop, now and in the
// registry settings, and the primary's mode falls back to its registry mode
// where the new mode list lacks it. Nothing without a display set.
void configuration_selected();

// The diagnostic adapter's display plugged in or out (wmisim plug, unplug).
// Nothing without a display set.
void local_display_plugged(bool plugged);

}  // namespace display_stand_in
