// Sets and reads the state of the ATI display library stand-in in the
// current Wine prefix.
//
//   xvsim-ati reset              every setting and counter removed, call log emptied
//   xvsim-ati set NAME VALUE     a number (decimal or 0x...), or a text for MonitorKinds
//   xvsim-ati get NAME           prints the number (or the MonitorKinds text); "unset"
//                                when the library uses its default
//   xvsim-ati log                prints the call log, one call a line
//   xvsim-ati clear-log          empties the call log, keeps the settings
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/format.h"
#include "sim/ati/ati_state.h"

using namespace ati_stand_in;

namespace {

bool is_text_setting(const std::string& name) { return name == "MonitorKinds"; }

int usage() {
  std::fprintf(stderr,
               "usage: xvsim-ati reset | set NAME VALUE | get NAME | log | clear-log\n"
               "names: AdapterId<N> MonitorKinds MonitorsEndless Controllers MonitorPorts\n"
               "       ConnectedDisplays Config0 Config1 Fail<Function> FailAfter<Function>\n"
               "       Crash<Function> Calls<Function>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "reset" && argc == 2) {
    reset_state();
  } else if (command == "set" && argc == 4) {
    const std::string name = argv[2];
    if (is_text_setting(name)) {
      write_text(name, argv[3]);
    } else {
      char* end = nullptr;
      const unsigned long value = std::strtoul(argv[3], &end, 0);
      if (end == argv[3] || *end != '\0') {
        std::fprintf(stderr, "xvsim-ati: not a number: %s\n", argv[3]);
        return 2;
      }
      write_number(name, value);
    }
  } else if (command == "get" && argc == 3) {
    const std::string name = argv[2];
    const std::string value = !has_setting(name)      ? "unset"
                              : is_text_setting(name) ? read_text(name, "")
                                                      : format_hex(read_number(name, 0));
    std::printf("%s\n", value.c_str());
  } else if (command == "log" && argc == 2) {
    std::fputs(read_call_log().c_str(), stdout);
  } else if (command == "clear-log" && argc == 2) {
    clear_call_log();
  } else {
    return usage();
  }
  return 0;
}
