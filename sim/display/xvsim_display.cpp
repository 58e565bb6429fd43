// Chooses and shows the simulated blade's display hardware in the current
// Wine prefix.
//
//   xvsim-display set NAME   puts the display set NAME in place at power-on
//                            (and the ATI library stand-in's state to match)
//   xvsim-display sets       lists the display sets
//   xvsim-display show       prints the simulated desktop as a table
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
               "usage: xvsim-display set NAME | sets | show | off\n"
               "Chooses the simulated blade's display hardware in this Wine prefix. The service\n"
               "sees it from its next start (the ATI library stand-in puts it in place);\n"
               "its display calls go to the ATI stand-in's call log (xvsim-ati log).\n");
  return 2;
}

std::string attached_text(const DisplayState& state, std::size_t index) {
  const std::string text = is_attached(state, index) ? "yes" : "no";
  return (state.pending & (1u << index)) != 0 ? text + " (detach pending)" : text;
}

std::string resolution_text(const DisplayState& state, std::size_t index) {
  if ((devices(state)[index].flags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0) return "(mirror)";
  const Mode mode = display_mode(state, index);
  return mode.width == 0 ? "-" : std::to_string(mode.width) + " x " + std::to_string(mode.height);
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
  const bool clone = config0 == 0x1 && config1 == 0x2;
  std::printf("ATI controllers: %s %s (%s)\n", format_hex(config0).c_str(), format_hex(config1).c_str(),
              clone ? "clone mode" : "not clone mode");
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
  if (command == "off" && argc == 2) {
    switch_off();
    return 0;
  }
  return usage();
}
