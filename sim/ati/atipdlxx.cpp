// A stand-in for the ATI display library atipdlxx.dll: the ten exports by
// their names, answering from the state shared through the registry and
// writing each call with its arguments to the call log.
//
// Built three ways: ATI_CALL is __stdcall or __cdecl, and one build leaves
// out ATIDL_GetDisplayVector, an export the service binds but never calls.
#include <windows.h>

#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "common/format.h"
#include "sim/ati/ati_state.h"
#include "sim/display/display_calls.h"
#include "sim/display/display_set.h"

#ifdef XV_ATI_STDCALL
#define ATI_CALL __stdcall
#else
#define ATI_CALL __cdecl
#endif
#define ATI_EXPORT extern "C" __declspec(dllexport)

using namespace ati_stand_in;

namespace {

std::vector<DWORD> monitor_kinds() {
  std::vector<DWORD> kinds;
  std::stringstream list(read_text("MonitorKinds", "2,4"));
  std::string item;
  while (std::getline(list, item, ',')) {
    if (!item.empty()) kinds.push_back(std::strtoul(item.c_str(), nullptr, 0));
  }
  return kinds;
}

std::string call_line(const char* function, std::initializer_list<long long> arguments) {
  std::string line = function;
  for (long long value : arguments) line += " " + std::to_string(value);
  return line;
}

void log_call(const std::string& line, int result, const std::string& outputs = "") {
  append_call_log(line + " -> " + std::to_string(result) + (outputs.empty() ? "" : " " + outputs));
}

// With the function's crash switch on: an access violation inside the
// library, as a faulty driver library would make.
void crash_if_switched(const char* function, const std::string& line) {
  if (read_number(std::string("Crash") + function, 0) == 0) return;
  append_call_log(line + " -> crash");
  // The pointer is volatile too, so the compiler cannot see the null and
  // put a trap instruction in place of the faulting write.
  static volatile DWORD* volatile nowhere = nullptr;
  *nowhere = 1;  // NOLINT(clang-analyzer-core.NullDereference): the fault is the purpose
}

// The library answers for the adapter indices that identify an ATI adapter
// (AdapterId<N> not 0), and for no other.
bool is_ati_adapter(int adapter) {
  return read_number("AdapterId" + std::to_string(adapter), adapter == 0 ? 0x1002 : 0) != 0;
}

// True when the call is refused, by its failure switch, for a wrong size or
// for an index that is no ATI adapter; the refusal is logged and its result
// given.
bool refused(const char* function, int adapter, const std::string& line, bool bad_size, int* result) {
  crash_if_switched(function, line);
  DWORD failure = 0;
  const bool unknown = !is_ati_adapter(adapter);
  if (!call_fails(function, &failure) && !bad_size && !unknown) return false;
  *result = failure != 0 ? static_cast<int>(failure) : 2;
  log_call(line, *result, unknown && failure == 0 && !bad_size ? "no ATI adapter" : "");
  return true;
}

// The exports nobody calls: logged and refused.
int unsupported(const char* function, int adapter) {
  log_call(call_line(function, {adapter}), 1);
  return 1;
}

}  // namespace

// Notes the error mode the loading process had set, so a test can see that
// the loader asked for no error boxes. The loading process gets the
// simulated display, when one is selected, before it makes a display call:
// the service loads this library at its start, before any policy run.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    append_call_log("attach error-mode=" + format_hex(mode));
    display_stand_in::attach_to_host();
  }
  return TRUE;
}

ATI_EXPORT int ATI_CALL ATIDL_DisplayGetEdidData(int adapter, DWORD, void*, DWORD) {
  return unsupported("ATIDL_DisplayGetEdidData", adapter);
}

ATI_EXPORT int ATI_CALL EnumDisplays(int adapter, DWORD display, DWORD* kind) {
  const std::string line = call_line("EnumDisplays", {adapter, display});
  crash_if_switched("EnumDisplays", line);
  DWORD failure = 0;
  const std::vector<DWORD> kinds = monitor_kinds();
  const bool endless = read_number("MonitorsEndless", 0) != 0;
  if (!is_ati_adapter(adapter)) {
    log_call(line, 0, "no ATI adapter");
    return 0;
  }
  if (call_fails("EnumDisplays", &failure) || (display >= kinds.size() && !endless)) {
    log_call(line, 0);
    return 0;
  }
  *kind = display < kinds.size() ? kinds[display] : 0;
  log_call(line, 1, "kind=" + std::to_string(*kind));
  return 1;
}

ATI_EXPORT int ATI_CALL ATIDL_GetActiveDisplays(int adapter, DWORD*) {
  return unsupported("ATIDL_GetActiveDisplays", adapter);
}

ATI_EXPORT int ATI_CALL ATIDL_GetAdapterID(int adapter, DWORD* identifier) {
  // Every index is asked; one that is no ATI adapter has the identifier 0.
  const std::string line = call_line("ATIDL_GetAdapterID", {adapter});
  crash_if_switched("ATIDL_GetAdapterID", line);
  DWORD failure = 0;
  if (call_fails("ATIDL_GetAdapterID", &failure)) {
    log_call(line, static_cast<int>(failure));
    return static_cast<int>(failure);
  }
  *identifier = read_number("AdapterId" + std::to_string(adapter), adapter == 0 ? 0x1002 : 0);
  log_call(line, 0, "id=" + format_hex(*identifier));
  return 0;
}

ATI_EXPORT int ATI_CALL GetCapabilities(int adapter, DWORD* controllers, DWORD* ports) {
  const std::string line = call_line("GetCapabilities", {adapter});
  int result = 0;
  if (refused("GetCapabilities", adapter, line, false, &result)) return result;
  *controllers = read_number("Controllers", 2);
  *ports = read_number("MonitorPorts", 2);
  log_call(line, 0, "controllers=" + std::to_string(*controllers) + " ports=" + std::to_string(*ports));
  return 0;
}

ATI_EXPORT int ATI_CALL GetConfiguration(int adapter, DWORD size, DWORD* configuration) {
  const std::string line = call_line("GetConfiguration", {adapter, size});
  int result = 0;
  if (refused("GetConfiguration", adapter, line, size != 8, &result)) return result;
  configuration[0] = read_number("Config0", 0x1);
  configuration[1] = read_number("Config1", 0x0);
  log_call(line, 0, format_hex(configuration[0]) + " " + format_hex(configuration[1]));
  return 0;
}

ATI_EXPORT int ATI_CALL GetConnectedDisplays(int adapter, DWORD* connected) {
  const std::string line = call_line("GetConnectedDisplays", {adapter});
  int result = 0;
  if (refused("GetConnectedDisplays", adapter, line, false, &result)) return result;
  *connected = read_number("ConnectedDisplays", 0x3);
  log_call(line, 0, format_hex(*connected));
  return 0;
}

ATI_EXPORT int ATI_CALL ATIDL_GetDisplaySettings(int adapter, DWORD, void*) {
  return unsupported("ATIDL_GetDisplaySettings", adapter);
}

#ifndef XV_ATI_WITHOUT_DISPLAY_VECTOR
ATI_EXPORT int ATI_CALL ATIDL_GetDisplayVector(int adapter, DWORD*) {
  return unsupported("ATIDL_GetDisplayVector", adapter);
}
#endif

ATI_EXPORT int ATI_CALL SetConfiguration(int adapter, DWORD size, const DWORD* configuration) {
  const std::string line =
      call_line("SetConfiguration", {adapter, size}) + " " +
      (size == 8 ? format_hex(configuration[0]) + " " + format_hex(configuration[1]) : std::string("?"));
  int result = 0;
  if (refused("SetConfiguration", adapter, line, size != 8, &result)) return result;
  write_number("Config0", configuration[0]);
  write_number("Config1", configuration[1]);
  log_call(line, 0);
  display_stand_in::configuration_selected();
  return 0;
}
