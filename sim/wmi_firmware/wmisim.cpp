// wmisim: drives the stand-in firmware of this Wine prefix by hand or from
// scripts. Texts are taken and shown as UTF-8.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/display/display_set.h"
#include "sim/wmi_firmware/firmware_state.h"

namespace {

using wmisim::Fault;
using wmisim::FirmwareState;
using wmisim::Step;
using wmisim::Value;

const char kUsage[] =
    "usage: wmisim COMMAND [ARGUMENTS]\n"
    "Drives the stand-in for the blade firmware's WMI provider in this Wine prefix.\n"
    "\n"
    "  status                      show the whole state\n"
    "  reset                       back to the defaults (sensor \"Absent\", setting \"TLV\",\n"
    "                              applied at once, one setting interface, Return 0,\n"
    "                              no failures, empty call log)\n"
    "  plug                        sensor \"Present\" and raise the event \"Present\"\n"
    "  unplug                      sensor \"Absent\" and raise the event \"Absent\"\n"
    "                              (on a simulated blade, xvsim-display, the\n"
    "                              adapter's display comes and goes first)\n"
    "  raise TEXT|--null           raise the hot-plug event with that Description;\n"
    "                              lost when nobody waits for it\n"
    "  sensor [VALUE|--null]...    show, or set one sensor instance per value (at most 4)\n"
    "  sensor --none               no sensor instance\n"
    "  setting [VALUE|--null]      show, or set the session-protocol setting\n"
    "  delay [N|never]             show, or set how many reads a written setting\n"
    "                              waits before it applies (0: at once)\n"
    "  interfaces [N]              show, or set the number of setting-interface instances\n"
    "  return [N]                  show, or set the \"Return\" of SetBIOSSetting\n"
    "                              (non-zero: the write is refused)\n"
    "  fail STEP [HRESULT|null|crash|overflow] [--after N] [--times N]\n"
    "                              make STEP fail with HRESULT (default 0x80041001),\n"
    "                              succeed with no object (null), make an access\n"
    "                              violation in the provider (crash) or overflow the\n"
    "                              caller's stack there (overflow; these two not for\n"
    "                              blanket, get, put-name, put-value), after N good\n"
    "                              calls, N times\n"
    "                              (default: until switched off)\n"
    "  fail STEP off               switch the failure off\n"
    "  faults                      show the failures switched on\n"
    "  log [--clear]               show (or clear) the call log\n"
    "  live [PID]                  live COM objects handed out (all processes, or one)\n"
    "  waiters                     number of event subscriptions\n"
    "  wait-waiter [MS]            wait (default 10000 ms) until someone subscribes;\n"
    "                              exit status 1 on timeout\n"
    "\n"
    "STEP: create connect blanket query notification-query next get get-object\n"
    "      get-method spawn-instance put-name put-value exec-method\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::string shown(const Value& value) {
  return value.null ? "null" : "\"" + wmisim::to_utf8(value.text) + "\"";
}

Value value_argument(const std::string& argument) {
  if (argument == "--null") return wmisim::null_value();
  if (argument.size() > FirmwareState::kMaxText) throw UsageError("value too long: " + argument);
  return wmisim::text_value(wmisim::from_utf8(argument));
}

long number_argument(const std::string& argument, const std::string& what) {
  char* end = nullptr;
  const long number = std::strtol(argument.c_str(), &end, 0);
  if (argument.empty() || *end != '\0') throw UsageError(what + " is not a number: " + argument);
  return number;
}

void expect_count(const std::vector<std::string>& arguments, std::size_t most) {
  if (arguments.size() > most) throw UsageError("too many arguments: " + arguments[most]);
}

std::string fault_text(const Fault& fault) {
  char result[16];
  std::snprintf(result, sizeof result, "0x%08lX", static_cast<unsigned long>(fault.result));
  std::string text = fault.crash         ? "crash"
                     : fault.overflow    ? "overflow"
                     : fault.null_result ? "null"
                                         : result;
  if (fault.skip > 0) text += " after " + std::to_string(fault.skip);
  text += fault.times < 0 ? " always" : " " + std::to_string(fault.times) + " time(s)";
  return text;
}

void show_sensors(FirmwareState& state) {
  const std::vector<Value> sensors = state.sensors();
  if (sensors.empty()) print("sensor: no instance\n");
  for (const Value& value : sensors) print("sensor: " + shown(value) + "\n");
}

void show_setting(FirmwareState& state) {
  print("setting: " + shown(state.setting()) + "\n");
  Value pending;
  LONG reads_left = 0;
  if (state.pending_setting(&pending, &reads_left)) {
    print("pending: " + shown(pending) +
          (reads_left < 0 ? " never applied" : " applied after " + std::to_string(reads_left) + " read(s)") +
          "\n");
  }
}

void show_delay(FirmwareState& state) {
  const LONG delay = state.apply_delay();
  print("delay: " + (delay < 0 ? std::string("never") : std::to_string(delay)) + "\n");
}

void show_faults(FirmwareState& state) {
  for (int i = 0; i < wmisim::kStepCount; ++i) {
    const Step step = static_cast<Step>(i);
    const Fault fault = state.fault(step);
    if (fault.times != 0)
      print(std::string("fail: ") + wmisim::step_name(step) + " " + fault_text(fault) + "\n");
  }
}

void raise(FirmwareState& state, const Value& description) {
  const int reached = state.raise_event(description);
  print("raised " + shown(description) + ": " + std::to_string(reached) + " waiter(s)\n");
}

void fail(FirmwareState& state, const std::vector<std::string>& arguments) {
  if (arguments.empty()) throw UsageError("fail needs a STEP");
  Step step;
  if (!wmisim::step_by_name(arguments[0], &step)) throw UsageError("unknown step: " + arguments[0]);
  Fault fault;
  fault.times = -1;
  std::size_t at = 1;
  if (at < arguments.size() && arguments[at] == "off") {
    expect_count(arguments, 2);
    state.set_fault(step, Fault());
    print(std::string("fail: ") + arguments[0] + " off\n");
    return;
  }
  if (at < arguments.size() && arguments[at].compare(0, 2, "--") != 0) {
    if (arguments[at] == "null") {
      fault.null_result = true;
    } else if (arguments[at] == "crash") {
      fault.crash = true;
    } else if (arguments[at] == "overflow") {
      fault.overflow = true;
    } else {
      fault.result = static_cast<HRESULT>(std::strtoul(arguments[at].c_str(), nullptr, 0));
      number_argument(arguments[at], "HRESULT");
    }
    ++at;
  }
  for (; at < arguments.size(); at += 2) {
    if (at + 1 >= arguments.size()) throw UsageError(arguments[at] + " needs a number");
    const long number = number_argument(arguments[at + 1], arguments[at]);
    if (number < 0) throw UsageError(arguments[at] + " must not be negative");
    if (arguments[at] == "--after") {
      fault.skip = number;
    } else if (arguments[at] == "--times") {
      fault.times = number;
    } else {
      throw UsageError("unknown option: " + arguments[at]);
    }
  }
  state.set_fault(step, fault);
  print(std::string("fail: ") + arguments[0] + " " + fault_text(fault) + "\n");
}

int run(const std::string& command, const std::vector<std::string>& arguments) {
  FirmwareState& state = wmisim::firmware_state();
  if (command == "status") {
    expect_count(arguments, 0);
    show_sensors(state);
    show_setting(state);
    show_delay(state);
    print("interfaces: " + std::to_string(state.interface_count()) + "\n");
    print("return: " + std::to_string(state.return_value()) + "\n");
    show_faults(state);
    print("waiters: " + std::to_string(state.subscriptions()) + "\n");
    print("live objects: " + std::to_string(state.live_objects()) + "\n");
  } else if (command == "reset") {
    expect_count(arguments, 0);
    state.reset();
    print("reset\n");
  } else if (command == "plug" || command == "unplug") {
    expect_count(arguments, 0);
    const Value value = wmisim::text_value(command == "plug" ? L"Present" : L"Absent");
    // The hardware changes before the firmware tells of it.
    display_stand_in::local_display_plugged(command == "plug");
    state.set_sensors({value});
    raise(state, value);
  } else if (command == "raise") {
    if (arguments.size() != 1) throw UsageError("raise needs one TEXT (or --null)");
    raise(state, value_argument(arguments[0]));
  } else if (command == "sensor") {
    if (arguments.size() == 1 && arguments[0] == "--none") {
      state.set_sensors({});
    } else if (!arguments.empty()) {
      expect_count(arguments, FirmwareState::kMaxSensors);
      std::vector<Value> values;
      values.reserve(arguments.size());
      for (const std::string& argument : arguments) values.push_back(value_argument(argument));
      state.set_sensors(values);
    }
    show_sensors(state);
  } else if (command == "setting") {
    expect_count(arguments, 1);
    if (!arguments.empty()) state.set_setting(value_argument(arguments[0]));
    show_setting(state);
  } else if (command == "delay") {
    expect_count(arguments, 1);
    if (!arguments.empty()) {
      const long reads = arguments[0] == "never" ? wmisim::kNever : number_argument(arguments[0], "delay");
      if (arguments[0] != "never" && reads < 0) throw UsageError("delay must not be negative");
      state.set_apply_delay(reads);
    }
    show_delay(state);
  } else if (command == "interfaces") {
    expect_count(arguments, 1);
    if (!arguments.empty()) {
      const long count = number_argument(arguments[0], "interfaces");
      if (count < 0) throw UsageError("interfaces must not be negative");
      state.set_interface_count(count);
    }
    print("interfaces: " + std::to_string(state.interface_count()) + "\n");
  } else if (command == "return") {
    expect_count(arguments, 1);
    if (!arguments.empty()) state.set_return_value(number_argument(arguments[0], "return"));
    print("return: " + std::to_string(state.return_value()) + "\n");
  } else if (command == "fail") {
    fail(state, arguments);
  } else if (command == "faults") {
    expect_count(arguments, 0);
    show_faults(state);
  } else if (command == "log") {
    if (arguments.size() == 1 && arguments[0] == "--clear") {
      state.clear_log();
      return 0;
    }
    expect_count(arguments, 0);
    for (const std::string& line : state.call_log()) print(line + "\n");
  } else if (command == "live") {
    expect_count(arguments, 1);
    const LONG live = arguments.empty()
                          ? state.live_objects()
                          : state.live_objects(static_cast<DWORD>(number_argument(arguments[0], "PID")));
    print(std::to_string(live) + "\n");
  } else if (command == "waiters") {
    expect_count(arguments, 0);
    print(std::to_string(state.subscriptions()) + "\n");
  } else if (command == "wait-waiter") {
    expect_count(arguments, 1);
    const long timeout = arguments.empty() ? 10000 : number_argument(arguments[0], "MS");
    if (timeout < 0) throw UsageError("MS must not be negative");
    if (!state.wait_for_subscription(static_cast<DWORD>(timeout))) {
      std::fprintf(stderr, "wmisim: nobody subscribed within %ld ms\n", timeout);
      return 1;
    }
    print("subscribed\n");
  } else {
    throw UsageError("unknown command: " + command);
  }
  return 0;
}

std::vector<std::string> utf8_arguments() {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(wmisim::to_utf8(wide[i]));
  if (wide != nullptr) LocalFree(wide);
  return arguments;
}

}  // namespace

int main() {
  // Lines end in LF, as the shell scripts that read them expect.
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<std::string> arguments = utf8_arguments();
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
    print(kUsage);
    return arguments.empty() ? 2 : 0;
  }
  const std::string command = arguments[0];
  arguments.erase(arguments.begin());
  try {
    return run(command, arguments);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "wmisim: %s\nTry 'wmisim --help'.\n", error.what());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wmisim: %s\n", error.what());
    return 1;
  }
}
