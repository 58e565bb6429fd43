// Chooses and shows the simulated blade's display hardware in the current
// Wine prefix.
//
//   xvsim-display set NAME   puts the display set NAME in place at power-on
//                            (and the ATI library stand-in's state to match)
//   xvsim-display sets       lists the display sets
//   xvsim-display show       prints the simulated desktop as a table
//   xvsim-display fail CALL  makes GetThreadDesktop, OpenInputDesktop or
//                            SetThreadDesktop fail (off: none)
//   xvsim-display off        no simulated display: Wine's own again
#include <cstdio>
#include <string>

#include "common/format.h"
#include "sim/ati/ati_state.h"
#include "sim/display/display_set.h"

using namespace display_stand_in;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: xvsim-display set NAME | sets | show | fail CALL|off | off\n"
               "Chooses the simulated blade's display hardware in this Wine prefix. The service\n"
               "sees it from its next start (the ATI library stand-in puts it in place);\n"
               "its display calls go to the ATI stand-in's call log (xvsim-ati log).\n"
               "fail: GetThreadDesktop, OpenInputDesktop or SetThreadDesktop fails as Windows\n"
               "lets it fail; off switches that off.\n");
  return 2;
}

std::string attached_text(const DisplayState& state, std::size_t index) {
  const bool now = is_attached(state, index);
  std::string text = now ? "yes" : "no";
  if (now == is_registry_attached(state, index)) return text;
  return text + (now ? " (off in the registry)" : " (on in the registry)");
}

std::string mode_text(Mode mode) {
  return mode.width == 0 ? "-" : std::to_string(mode.width) + " x " + std::to_string(mode.height);
}

std::string resolution_text(const DisplayState& state, std::size_t index) {
  if ((devices(state)[index].flags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0) return "(mirror)";
  const Mode now = display_mode(state, index);
  const Mode stored = registry_mode(state, index);
  if (now.width == 0 || (now.width == stored.width && now.height == stored.height)) return mode_text(now);
  return mode_text(now) + " (registry: " + mode_text(stored) + ")";
}

std::string configuration_text(const DisplayState& state, DWORD config0, DWORD config1) {
  if (is_clone_mode(state)) return "clone mode";
  return config0 == 0x1 && config1 == 0x2 ? "extended desktop" : "not clone mode";
}

int show() {
  const DisplayState state = load_state();
  if (state.set.empty()) {
    std::printf("no simulated display (Wine's own)\n");
    return 0;
  }
  std::printf("display set: %s\n", state.set.c_str());
  std::printf("%-14s %-34s %-9s %s\n", "adapter", "device string", "attached", "resolution");
  for (std::size_t i = 0; i < devices(state).size(); ++i) {
    std::printf("%-14s %-34s %-9s %s\n", devices(state)[i].name, devices(state)[i].text,
                attached_text(state, i).c_str(), resolution_text(state, i).c_str());
  }
  const DWORD config0 = ati_stand_in::read_number("Config0", 0x1);
  const DWORD config1 = ati_stand_in::read_number("Config1", 0x0);
  std::printf("ATI controllers: %s %s (%s), connected displays %s\n", format_hex(config0).c_str(),
              format_hex(config1).c_str(), configuration_text(state, config0, config1).c_str(),
              format_hex(ati_stand_in::read_number("ConnectedDisplays", 0x3)).c_str());
  if (!state.fail_desktop.empty()) std::printf("failing: %s\n", state.fail_desktop.c_str());
  return 0;
}

int fail(const std::string& call) {
  DisplayState state = load_state();
  if (state.set.empty()) {
    std::fprintf(stderr, "xvsim-display: no display set chosen\n");
    return 2;
  }
  if (call != "off" && call != "GetThreadDesktop" && call != "OpenInputDesktop" && call != "SetThreadDesktop")
    return usage();
  state.fail_desktop = call == "off" ? "" : call;
  save_state(state);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "set" && argc == 3) {
    if (!select_set(argv[2])) {
      std::fprintf(stderr, "xvsim-display: no display set '%s' (xvsim-display sets lists them)\n", argv[2]);
      return 2;
    }
    return 0;
  }
  if (command == "sets" && argc == 2) {
    for (const DisplaySetInfo& set : display_sets()) std::printf("%-15s %s\n", set.name, set.description);
    return 0;
  }
  if (command == "show" && argc == 2) return show();
  if (command == "fail" && argc == 3) return fail(argv[2]);
  if (command == "off" && argc == 2) {
    switch_off();
    return 0;
  }
  return usage();
}
