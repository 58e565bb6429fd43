// The state of the ATI display library stand-in, shared by every process of
// a Wine prefix: settings and call counters in the registry under
// HKLM\Software\XVSim\ATI, the call log in a text file in the Windows folder.
//
// Settings (DWORD unless said otherwise; a missing value takes its default):
//   AdapterId<N>        identifier for adapter index N (default 0x1002 for 0, else 0);
//                       the library answers only for an index whose identifier
//                       is not 0: the other exports refuse every other index
//                       (EnumDisplays 0, the rest 2, logged "no ATI adapter")
//   MonitorKinds        REG_SZ, comma-separated kind codes of displays 0, 1, ... (default "2,4")
//   MonitorsEndless     non-zero: EnumDisplays never returns zero (kind 0 past the list)
//   Controllers         controller count (default 2)
//   MonitorPorts        monitor port count (default 2)
//   ConnectedDisplays   connected-display bit vector (default 0x3)
//   Config0, Config1    current configuration, controller 0 and 1 (default 0x1, 0x0)
//   Fail<Function>      non-zero: the function returns this value (EnumDisplays returns 0)
//   FailAfter<Function> calls that still succeed before Fail<Function> applies (default 0)
//   Crash<Function>     non-zero: the function makes an access violation inside the library
//   Calls<Function>     calls counted since the last reset
//
// With a simulated blade's display set chosen (sim/display/display_set.h),
// the set writes the adapter index, controllers, connected displays and
// configuration, and the displays and the configuration follow each other.
// The call log holds calls and two notes that are none: "attach ..." (the
// library was loaded) and "display stand-in: ..." (imports replaced).
#pragma once

#include <windows.h>

#include <string>

namespace ati_stand_in {

bool has_setting(const std::string& name);
DWORD read_number(const std::string& name, DWORD fallback);
void write_number(const std::string& name, DWORD value);
std::string read_text(const std::string& name, const std::string& fallback);
void write_text(const std::string& name, const std::string& value);
// Removes every setting and counter, and empties the call log.
void reset_state();

// Counts a call of the function; true (with the result to return) when this
// call is to fail.
bool call_fails(const std::string& function, DWORD* result);

std::string call_log_path();
void clear_call_log();
void append_call_log(const std::string& line);
std::string read_call_log();

}  // namespace ati_stand_in
