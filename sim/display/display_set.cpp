#include "sim/display/display_set.h"

#include <algorithm>

#include "sim/ati/ati_state.h"
#include "sim/common/state_key.h"

namespace display_stand_in {
namespace {

const char kStateKey[] = "Software\\XVSim\\Display";

const DWORD kOnDesktop = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
#define XV_SIM_VIDEO_KEY \
  "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\{5A2B8F31-6E0C-4D7B-9A61-3C1E2F6B0D42}\\"

const Device kPrimary = {"\\\\.\\DISPLAY1",
                         "ATI RADEON X1300 Series",
                         kOnDesktop | DISPLAY_DEVICE_PRIMARY_DEVICE | DISPLAY_DEVICE_VGA_COMPATIBLE,
                         "PCI\\VEN_1002&DEV_7187&SUBSYS_30001002&REV_00",
                         XV_SIM_VIDEO_KEY "0000",
                         0};
const Device kSecondary = {"\\\\.\\DISPLAY2",
                           "ATI RADEON X1300 Series Secondary",
                           kOnDesktop,
                           "PCI\\VEN_1002&DEV_71A7&SUBSYS_30011002&REV_00",
                           XV_SIM_VIDEO_KEY "0001",
                           1};
const Device kTelvane = {"\\\\.\\DISPLAYV1",
                         "XV Telvane Driver",
                         kOnDesktop | DISPLAY_DEVICE_MIRRORING_DRIVER,
                         "",
                         "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xvtlvdd\\Device0",
                         -1};
const Device kRdp = {"\\\\.\\DISPLAYV2",
                     "RDPDD Chained DD",
                     kOnDesktop | DISPLAY_DEVICE_MIRRORING_DRIVER,
                     "",
                     "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RDPDD\\Device0",
                     -1};
#define XV_SIM_ONBOARD_KEY \
  "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\{0C4F4D7E-2B7A-4E5C-8D21-6A0F3B9E1C55}\\"
// The blade's onboard graphics, with no display on the desktop: a device
// Windows numbers that is not in the list of attached devices.
const Device kOnboard = {"\\\\.\\DISPLAY3",
                         "Standard VGA Graphics Adapter",
                         DISPLAY_DEVICE_VGA_COMPATIBLE,
                         "PCI\\VEN_102B&DEV_0522&SUBSYS_3381103C&REV_02",
                         XV_SIM_ONBOARD_KEY "0000",
                         -1};

// The ATI adapter's state that goes with a display set.
struct AtiHardware {
  DWORD controllers;
  DWORD connected;
  DWORD config0;
  DWORD config1;
};
// Extended desktop: controller 1 shows the secondary display's own desktop.
const AtiHardware kExtended = {2, 0x3, 0x1, 0x2};
const DWORD kAtiId = 0x1002;

struct SetDefinition {
  DisplaySetInfo info;
  std::vector<Device> devices;
  DWORD detached_at_start;
  AtiHardware ati;
  int adapter_index;  // the ATI adapter's position among the attached devices
};

const DWORD kSecondaryBit = 1u << 1;

// With one display on the desktop the secondary is off it: a local display
// alone, a single controller, or both controllers showing one desktop.
const std::vector<SetDefinition>& set_definitions() {
  static const std::vector<SetDefinition> definitions = {
      {{"blade", "ATI adapter and a second display on the desktop, Telvane driver, 1280 x 1024"},
       {kPrimary, kSecondary, kTelvane},
       0,
       kExtended,
       0},
      {{"rdp", "the blade with the RDP display driver"},
       {kPrimary, kSecondary, kTelvane, kRdp},
       0,
       kExtended,
       0},
      {{"no-telvane", "the blade without the Telvane driver"}, {kPrimary, kSecondary}, 0, kExtended, 0},
      {{"local", "the local diagnostic display connected, the secondary off the desktop"},
       {kPrimary, kSecondary, kTelvane},
       kSecondaryBit,
       {2, 0x1, 0x1, 0x0},
       0},
      {{"one-controller", "an ATI adapter with one controller, the secondary off the desktop"},
       {kPrimary, kSecondary, kTelvane},
       kSecondaryBit,
       {1, 0x3, 0x1, 0x0},
       0},
      {{"clone", "clone mode already set, the secondary off the desktop"},
       {kPrimary, kSecondary, kTelvane},
       kSecondaryBit,
       {2, 0x3, 0x1, 0x2},
       0},
      {{"behind", "the blade behind the Telvane driver and the onboard adapter (ATI adapter index 1)"},
       {kTelvane, kOnboard, kPrimary, kSecondary},
       0,
       kExtended,
       1},
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

bool mode_listed(const DisplayState& state, Mode wanted) {
  const auto modes = mode_list(state);
  return std::any_of(modes.begin(), modes.end(), [=](const Mode& mode) {
    return mode.width == wanted.width && mode.height == wanted.height;
  });
}

bool is_primary(const Device& device) { return (device.flags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0; }
bool is_mirror(const Device& device) { return (device.flags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0; }

// How Windows' documentation takes a display off the desktop: DM_POSITION
// with zero width and height.
bool is_detach(const DEVMODEA& mode) {
  return (mode.dmFields & DM_POSITION) != 0 && mode.dmPelsWidth == 0 && mode.dmPelsHeight == 0;
}

// The device that stops or starts showing controller 1's own desktop
// changes what the ATI adapter's controller 1 drives.
void take_off_desktop(DisplayState* state, std::size_t index) {
  state->detached |= 1u << index;
  if (devices(*state)[index].controller == 1) ati_stand_in::write_number("Config1", 0x0);
}

void put_on_desktop(DisplayState* state, std::size_t index) {
  state->detached &= ~(1u << index);
  if (devices(*state)[index].controller == 1) ati_stand_in::write_number("Config1", 0x2);
}

void apply_registry_settings(DisplayState* state) {
  for (std::size_t i = 0; i < devices(*state).size(); ++i) {
    const DWORD bit = 1u << i;
    if ((state->registry_detached & bit) != (state->detached & bit)) {
      if ((state->registry_detached & bit) != 0) {
        take_off_desktop(state, i);
      } else {
        put_on_desktop(state, i);
      }
    }
  }
  state->width = state->registry_width;
  state->height = state->registry_height;
}

LONG change_mode(DisplayState* state, const DEVMODEA& mode, bool update_registry, bool now) {
  const DWORD both = DM_PELSWIDTH | DM_PELSHEIGHT;
  if ((mode.dmFields & both) != both || !mode_listed(*state, {mode.dmPelsWidth, mode.dmPelsHeight}))
    return DISP_CHANGE_BADMODE;
  if (update_registry) {
    state->registry_width = mode.dmPelsWidth;
    state->registry_height = mode.dmPelsHeight;
  }
  if (now) {
    state->width = mode.dmPelsWidth;
    state->height = mode.dmPelsHeight;
  }
  return DISP_CHANGE_SUCCESSFUL;
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
  state.registry_detached = key.number("RegistryDetached");
  state.width = key.number("Width");
  state.height = key.number("Height");
  state.registry_width = key.number("RegistryWidth");
  state.registry_height = key.number("RegistryHeight");
  state.fail_desktop = key.text("FailDesktop");
  if (find_set(state.set) == nullptr) state.set.clear();
  return state;
}

void save_state(const DisplayState& state) {
  const sim_state::StateKey key(kStateKey, true);
  key.set_text("Set", state.set);
  key.set_number("Detached", state.detached);
  key.set_number("RegistryDetached", state.registry_detached);
  key.set_number("Width", state.width);
  key.set_number("Height", state.height);
  key.set_number("RegistryWidth", state.registry_width);
  key.set_number("RegistryHeight", state.registry_height);
  key.set_text("FailDesktop", state.fail_desktop);
}

bool select_set(const std::string& name) {
  const SetDefinition* definition = find_set(name);
  if (definition == nullptr) return false;
  switch_off();  // no failure switch or other value of an earlier set stays
  DisplayState state;
  state.set = name;
  state.detached = state.registry_detached = definition->detached_at_start;
  state.width = state.registry_width = kStartMode.width;
  state.height = state.registry_height = kStartMode.height;
  save_state(state);
  ati_stand_in::write_number("AdapterId0", definition->adapter_index == 0 ? kAtiId : 0);
  ati_stand_in::write_number("AdapterId" + std::to_string(definition->adapter_index), kAtiId);
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

bool is_registry_attached(const DisplayState& state, std::size_t index) {
  const auto& list = devices(state);
  return index < list.size() && (list[index].flags & kOnDesktop) != 0 &&
         (state.registry_detached & (1u << index)) == 0;
}

int find_device(const DisplayState& state, const char* name) {
  const auto& list = devices(state);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (name == nullptr ? is_primary(list[i]) : lstrcmpiA(list[i].name, name) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

bool is_clone_mode(const DisplayState& state) {
  if (ati_stand_in::read_number("Config0", 0x1) != 0x1 || ati_stand_in::read_number("Config1", 0x0) != 0x2)
    return false;
  const auto& list = devices(state);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].controller == 1 && is_attached(state, i)) return false;  // extended desktop
  }
  return true;
}

std::vector<Mode> mode_list(const DisplayState& state) {
  // The second display shows no more than 1280 x 1024.
  if (is_clone_mode(state))
    return {{640, 480}, {800, 600}, {1024, 768}, {1280, 1024}, {2560, 1024}, {1280, 2048}};
  return {{640, 480}, {800, 600}, {1024, 768}, {1280, 1024}, {1600, 1200}};
}

Mode display_mode(const DisplayState& state, std::size_t index) {
  const auto& list = devices(state);
  if (!is_attached(state, index) || is_mirror(list[index])) return {0, 0};
  if (is_primary(list[index])) return {state.width, state.height};
  return kStartMode;  // a secondary display keeps its own mode
}

Mode registry_mode(const DisplayState& state, std::size_t index) {
  const auto& list = devices(state);
  if (!is_registry_attached(state, index) || is_mirror(list[index])) return {0, 0};
  if (is_primary(list[index])) return {state.registry_width, state.registry_height};
  return kStartMode;
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
  const bool update_registry = (flags & CDS_UPDATEREGISTRY) != 0;
  const bool now = (flags & CDS_NORESET) == 0;
  if ((!now || (flags & CDS_GLOBAL) != 0) && !update_registry) return DISP_CHANGE_BADFLAGS;
  if (mode == nullptr) {
    if (device != nullptr && find_device(*state, device) < 0) return DISP_CHANGE_BADPARAM;
    apply_registry_settings(state);
    return DISP_CHANGE_SUCCESSFUL;
  }
  const int index = find_device(*state, device);
  if (index < 0) return DISP_CHANGE_BADPARAM;
  if (mode->dmSize != sizeof(DEVMODEA) || mode->dmDriverExtra != 0) return DISP_CHANGE_BADMODE;
  const auto display = static_cast<std::size_t>(index);
  const Device& target = devices(*state)[display];
  if (is_detach(*mode)) {
    // Windows keeps the primary display and mirroring drivers on the desktop.
    if (is_primary(target) || is_mirror(target)) return DISP_CHANGE_FAILED;
    if (update_registry) state->registry_detached |= 1u << display;
    if (now && is_attached(*state, display)) take_off_desktop(state, display);
    return DISP_CHANGE_SUCCESSFUL;
  }
  // Moving a display, or changing another than the primary, is not modelled.
  if ((mode->dmFields & DM_POSITION) != 0 || !is_primary(target)) return DISP_CHANGE_BADPARAM;
  return change_mode(state, *mode, update_registry, now);
}

void configuration_selected() {
  DisplayState state = load_state();
  if (state.set.empty()) return;
  for (std::size_t i = 0; i < devices(state).size(); ++i) {
    if (devices(state)[i].controller != 1) continue;
    state.detached |= 1u << i;
    state.registry_detached |= 1u << i;
  }
  if (!mode_listed(state, {state.width, state.height})) {
    state.width = state.registry_width;
    state.height = state.registry_height;
  }
  save_state(state);
}

void local_display_plugged(bool plugged) {
  DisplayState state = load_state();
  const SetDefinition* definition = find_set(state.set);
  if (definition == nullptr) return;
  ati_stand_in::write_number("ConnectedDisplays", plugged ? 0x1 : definition->ati.connected);
  if (!plugged) return;
  for (std::size_t i = 0; i < devices(state).size(); ++i) {
    if (devices(state)[i].controller == 1 && is_attached(state, i)) state.detached |= 1u << i;
  }
  ati_stand_in::write_number("Config1", 0x0);
  save_state(state);
}

}  // namespace display_stand_in
