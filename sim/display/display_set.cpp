#include "sim/display/display_set.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "sim/ati/ati_state.h"
#include "sim/common/state_key.h"

namespace display_stand_in {
namespace {

const char kStateKey[] = "Software\\XVSim\\Display";

const DWORD kOnDesktop = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
#define XV_SIM_VIDEO_KEY \
  "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\{5A2B8F31-6E0C-4D7B-9A61-3C1E2F6B0D42}\\"

const Device kPrimary = {"\\\\.\\DISPLAY1", "ATI RADEON X1300 Series",
                         kOnDesktop | DISPLAY_DEVICE_PRIMARY_DEVICE | DISPLAY_DEVICE_VGA_COMPATIBLE,
                         "PCI\\VEN_1002&DEV_7187&SUBSYS_30001002&REV_00", XV_SIM_VIDEO_KEY "0000"};
const Device kSecondary = {"\\\\.\\DISPLAY2", "ATI RADEON X1300 Series Secondary", kOnDesktop,
                           "PCI\\VEN_1002&DEV_71A7&SUBSYS_30011002&REV_00", XV_SIM_VIDEO_KEY "0001"};
const Device kTelvane = {"\\\\.\\DISPLAYV1", "XV Telvane Driver",
                         kOnDesktop | DISPLAY_DEVICE_MIRRORING_DRIVER, "",
                         "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xvtlvdd\\Device0"};
const Device kRdp = {"\\\\.\\DISPLAYV2", "RDPDD Chained DD", kOnDesktop | DISPLAY_DEVICE_MIRRORING_DRIVER, "",
                     "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RDPDD\\Device0"};
const DWORD kSecondaryBit = 1u << 1;

// The ATI adapter's state that goes with a display set.
struct AtiHardware {
  DWORD controllers;
  DWORD connected;
  DWORD config0;
  DWORD config1;
};
const AtiHardware kExtended = {2, 0x3, 0x1, 0x0};

struct SetDefinition {
  DisplaySetInfo info;
  std::vector<Device> devices;
  DWORD detached_at_start;
  AtiHardware ati;
};

// With one display on the desktop the secondary is off it: a local display
// alone, a single controller, or both controllers showing one desktop.
const std::vector<SetDefinition>& set_definitions() {
  static const std::vector<SetDefinition> definitions = {
      {{"blade", "ATI adapter and a second display on the desktop, Telvane driver, 1280 x 1024"},
       {kPrimary, kSecondary, kTelvane},
       0,
       kExtended},
      {{"rdp", "the blade with the RDP display driver"},
       {kPrimary, kSecondary, kTelvane, kRdp},
       0,
       kExtended},
      {{"no-telvane", "the blade without the Telvane driver"}, {kPrimary, kSecondary}, 0, kExtended},
      {{"local", "the local diagnostic display connected, the secondary off the desktop"},
       {kPrimary, kSecondary, kTelvane},
       kSecondaryBit,
       {2, 0x1, 0x1, 0x0}},
      {{"one-controller", "an ATI adapter with one controller, the secondary off the desktop"},
       {kPrimary, kSecondary, kTelvane},
       kSecondaryBit,
       {1, 0x3, 0x1, 0x0}},
      {{"clone", "clone mode already set, the secondary off the desktop"},
       {kPrimary, kSecondary, kTelvane},
       kSecondaryBit,
       {2, 0x3, 0x1, 0x2}},
  };
  return definitions;
}

const SetDefinition* find_set(const std::string& name) {
  const auto& definitions = set_definitions();
  const auto found =
      std::find_if(definitions.begin(), definitions.end(),
                   [&name](const SetDefinition& definition) { return name == definition.info.name; });
  return found == definitions.end() ? nullptr : &*found;
}

const Mode kStartMode = {1280, 1024};

bool mode_listed(DWORD width, DWORD height) {
  const auto& modes = mode_list();
  return std::any_of(modes.begin(), modes.end(),
                     [=](const Mode& mode) { return mode.width == width && mode.height == height; });
}

// Whether the mode record asks for a size of 0 × 0.
bool is_zero_size(const DEVMODEA& mode) {
  return (mode.dmFields & (DM_PELSWIDTH | DM_PELSHEIGHT)) == (DM_PELSWIDTH | DM_PELSHEIGHT) &&
         mode.dmPelsWidth == 0 && mode.dmPelsHeight == 0;
}

void apply_registry_settings(DisplayState* state) {
  state->detached |= state->pending;
  state->pending = 0;
  if (state->pending_width != 0) {
    state->width = state->pending_width;
    state->height = state->pending_height;
    state->pending_width = state->pending_height = 0;
  }
}

}  // namespace

std::vector<DisplaySetInfo> display_sets() {
  std::vector<DisplaySetInfo> sets;
  for (const SetDefinition& definition : set_definitions()) sets.push_back(definition.info);
  return sets;
}

DisplayState load_state() {
  const sim_state::StateKey key(kStateKey, false);  // a missing key: the stand-in is off
  DisplayState state;
  state.set = key.text("Set");
  state.detached = key.number("Detached");
  state.pending = key.number("Pending");
  state.width = key.number("Width");
  state.height = key.number("Height");
  state.pending_width = key.number("PendingWidth");
  state.pending_height = key.number("PendingHeight");
  if (find_set(state.set) == nullptr) state.set.clear();
  return state;
}

void save_state(const DisplayState& state) {
  const sim_state::StateKey key(kStateKey, true);
  key.set_text("Set", state.set);
  key.set_number("Detached", state.detached);
  key.set_number("Pending", state.pending);
  key.set_number("Width", state.width);
  key.set_number("Height", state.height);
  key.set_number("PendingWidth", state.pending_width);
  key.set_number("PendingHeight", state.pending_height);
}

bool select_set(const std::string& name) {
  const SetDefinition* definition = find_set(name);
  if (definition == nullptr) return false;
  DisplayState state;
  state.set = name;
  state.detached = definition->detached_at_start;
  state.width = kStartMode.width;
  state.height = kStartMode.height;
  save_state(state);
  ati_stand_in::write_number("Controllers", definition->ati.controllers);
  ati_stand_in::write_number("ConnectedDisplays", definition->ati.connected);
  ati_stand_in::write_number("Config0", definition->ati.config0);
  ati_stand_in::write_number("Config1", definition->ati.config1);
  return true;
}

void switch_off() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kStateKey); }

const std::vector<Device>& devices(const DisplayState& state) {
  static const std::vector<Device> none;
  const SetDefinition* definition = find_set(state.set);
  return definition == nullptr ? none : definition->devices;
}

bool is_attached(const DisplayState& state, std::size_t index) {
  const auto& list = devices(state);
  return index < list.size() && (list[index].flags & kOnDesktop) != 0 &&
         (state.detached & (1u << index)) == 0;
}

int find_device(const DisplayState& state, const std::string& name) {
  const auto& list = devices(state);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (lstrcmpiA(list[i].name, name.c_str()) == 0) return static_cast<int>(i);
  }
  return -1;
}

const std::vector<Mode>& mode_list() {
  static const std::vector<Mode> modes = {{640, 480}, {800, 600}, {1024, 768}, {1280, 1024}, {1600, 1200}};
  return modes;
}

Mode display_mode(const DisplayState& state, std::size_t index) {
  const auto& list = devices(state);
  if (!is_attached(state, index) || (list[index].flags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0) return {0, 0};
  if ((list[index].flags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0) return {state.width, state.height};
  return kStartMode;  // a secondary display keeps its own mode
}

RECT virtual_screen(const DisplayState& state) {
  RECT screen = {0, 0, 0, 0};
  for (std::size_t i = 0; i < devices(state).size(); ++i) {
    const Mode mode = display_mode(state, i);
    screen.right += static_cast<LONG>(mode.width);
    screen.bottom = std::max(screen.bottom, static_cast<LONG>(mode.height));
  }
  return screen;
}

int monitor_count(const DisplayState& state) {
  int count = 0;
  for (std::size_t i = 0; i < devices(state).size(); ++i) count += display_mode(state, i).width != 0 ? 1 : 0;
  return count;
}

LONG change_settings(DisplayState* state, const char* device, const DEVMODEA* mode, DWORD flags) {
  const bool store_only = (flags & CDS_NORESET) != 0;
  if (store_only && (flags & CDS_UPDATEREGISTRY) == 0) return DISP_CHANGE_BADFLAGS;
  if (device == nullptr && mode == nullptr) {
    apply_registry_settings(state);
    return DISP_CHANGE_SUCCESSFUL;
  }
  const int index = device == nullptr ? 0 : find_device(*state, device);
  if (index < 0 || mode == nullptr) return DISP_CHANGE_BADPARAM;
  const Device& target = devices(*state)[static_cast<std::size_t>(index)];
  const DWORD bit = 1u << index;
  if (is_zero_size(*mode)) {
    // Windows keeps the primary display and mirroring drivers on the desktop.
    if ((target.flags & (DISPLAY_DEVICE_PRIMARY_DEVICE | DISPLAY_DEVICE_MIRRORING_DRIVER)) != 0)
      return DISP_CHANGE_FAILED;
    if (store_only) {
      state->pending |= bit;
    } else {
      state->detached |= bit;
    }
    return DISP_CHANGE_SUCCESSFUL;
  }
  if ((target.flags & DISPLAY_DEVICE_PRIMARY_DEVICE) == 0) return DISP_CHANGE_BADPARAM;
  if ((mode->dmFields & (DM_PELSWIDTH | DM_PELSHEIGHT)) != (DM_PELSWIDTH | DM_PELSHEIGHT) ||
      !mode_listed(mode->dmPelsWidth, mode->dmPelsHeight)) {
    return DISP_CHANGE_BADMODE;
  }
  if (store_only) {
    state->pending_width = mode->dmPelsWidth;
    state->pending_height = mode->dmPelsHeight;
  } else {
    state->width = mode->dmPelsWidth;
    state->height = mode->dmPelsHeight;
  }
  return DISP_CHANGE_SUCCESSFUL;
}

}  // namespace display_stand_in
