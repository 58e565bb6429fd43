#include "tests/service/module_fakes.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/errors.h"
#include "tests/common/time_scale.h"

namespace {

const char kFirmware[] = "root/XV/InstrumentedBIOS";
const char kSensorQuery[] = "SELECT CurrentState FROM XV_BIOSNumericSensor WHERE Name = 'Blade Dongle State'";
const char kProtocolQuery[] =
    "select CurrentValue from XVBIOS_BIOSEnumeration where (Name = 'Remote Session Protocol')";

// The text the real binding raises when the library is not loaded.
const char kNotLoaded[] = "Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode";

}  // namespace

FakeNeighbours* FakeNeighbours::current_ = nullptr;

FakeNeighbours::FakeNeighbours() {
  current_ = this;
  set_version(6, 1, 7601, "Service Pack 1");
  ModuleCalls& calls = module_calls();
  calls.WMI_read_property = read_property;
  calls.WMI_write_property = write_property;
  calls.ATI_load_display_interface_functions = load_library;
  calls.ATI_free_display_interface_functions = free_library;
  calls.ATI_enable_clone_mode = enable_clone_mode;
  calls.create_watcher = create_watcher;
  calls.windows_version = windows_version;
  calls.Sleep = pause;

  DisplayApi api = real_display_api();
  api.GetSystemMetrics = system_metrics;
  api.ChangeDisplaySettingsA = change_display_settings;
  api.GetThreadDesktop = get_thread_desktop;
  api.OpenInputDesktop = open_input_desktop;
  api.SetThreadDesktop = set_thread_desktop;
  api.CloseDesktop = close_desktop;
  previous_display_ = replace_display_api(api);
}

FakeNeighbours::~FakeNeighbours() {
  replace_display_api(previous_display_);
  module_calls() = ModuleCalls{};
  current_ = nullptr;
}

void FakeNeighbours::note(const std::string& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  journal_.push_back(entry);
}

std::vector<std::string> FakeNeighbours::journal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return journal_;
}

int FakeNeighbours::count(const std::string& entry) const {
  const std::vector<std::string> entries = journal();
  return static_cast<int>(std::count(entries.begin(), entries.end(), entry));
}

void FakeNeighbours::set_version(DWORD major, DWORD minor, DWORD build, const char* csd) {
  version = {};
  version.dwOSVersionInfoSize = sizeof version;
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  version.dwBuildNumber = build;
  version.dwPlatformId = VER_PLATFORM_WIN32_NT;
  lstrcpynA(version.szCSDVersion, csd, sizeof version.szCSDVersion);
}

std::string FakeNeighbours::read_property(const std::string& name_space, const std::string& query,
                                          const std::string& property_name) {
  FakeNeighbours& self = *current_;
  if (name_space == kFirmware && query == kSensorQuery && property_name == "CurrentState") {
    self.note("read sensor");
    if (!self.sensor_error.empty()) throw Exception(self.sensor_error);
    return self.sensor;
  }
  if (name_space == kFirmware && query == kProtocolQuery && property_name == "CurrentValue") {
    const std::string value = self.read_protocol();
    self.note("read protocol " + value);
    if (!self.protocol_error.empty()) throw Exception(self.protocol_error);
    return value;
  }
  self.note("unknown read " + name_space + " | " + query + " | " + property_name);
  throw Exception("unknown read");
}

std::string FakeNeighbours::read_protocol() {
  if (write_pending_ && applied_at_read > 0 && ++reads_since_write_ >= applied_at_read) {
    protocol = pending_;
    write_pending_ = false;
  }
  return protocol;
}

void FakeNeighbours::write_property(const std::string& name_space, const std::string& class_name,
                                    const std::string& method_name, const std::string& setting_name,
                                    const std::string& setting_value) {
  FakeNeighbours& self = *current_;
  if (name_space != kFirmware || class_name != "XV_BIOSSettingInterface" || method_name != "SetBIOSSetting" ||
      setting_name != "Remote Session Protocol") {
    self.note("unknown write " + name_space + " | " + class_name + " | " + method_name + " | " +
              setting_name);
    throw Exception("unknown write");
  }
  self.note("write " + setting_value);
  if (!self.write_error.empty()) throw Exception(self.write_error);
  self.pending_ = self.applied_as.empty() ? setting_value : self.applied_as;
  self.write_pending_ = true;
  self.reads_since_write_ = 0;
}

void FakeNeighbours::load_library() {
  FakeNeighbours& self = *current_;
  self.note("ATI load");
  if (!self.load_text_error.empty()) throw TextError(self.load_text_error);
  if (!self.load_exception.empty()) throw Exception(self.load_exception);
  self.library_loaded = true;
}

void FakeNeighbours::free_library() {
  FakeNeighbours& self = *current_;
  self.note("ATI free");
  if (!self.free_text_error.empty()) throw TextError(self.free_text_error);
  if (!self.free_exception.empty()) throw Exception(self.free_exception);
  self.library_loaded = false;
}

bool FakeNeighbours::enable_clone_mode() {
  FakeNeighbours& self = *current_;
  self.note("ATI clone");
  if (!self.library_loaded) throw TextError(kNotLoaded);
  if (!self.clone_text_error.empty()) throw TextError(self.clone_text_error);
  if (!self.clone_exception.empty()) throw Exception(self.clone_exception);
  return false;
}

std::shared_ptr<TNotify> FakeNeighbours::create_watcher(bool create_suspended, LPHANDLER_FUNCTION_EX entry) {
  FakeNeighbours& self = *current_;
  self.note(create_suspended ? "create watcher suspended" : "create watcher running");
  self.watcher_entry = entry;
  if (!self.watcher_exception.empty()) throw Exception(self.watcher_exception);
  return self.watcher;
}

const OSVERSIONINFOA& FakeNeighbours::windows_version() { return current_->version; }

void WINAPI FakeNeighbours::pause(DWORD milliseconds) {
  FakeNeighbours& self = *current_;
  self.note("pause " + std::to_string(milliseconds));
  const int number = ++self.pauses_;
  if (self.on_pause) self.on_pause(number);
}

int WINAPI FakeNeighbours::system_metrics(int index) {
  if (index == SM_CXVIRTUALSCREEN) return current_->screen_width;
  if (index == SM_CYVIRTUALSCREEN) return current_->screen_height;
  current_->note("metrics " + std::to_string(index));
  return 0;
}

LONG WINAPI FakeNeighbours::change_display_settings(DEVMODEA* mode, DWORD flags) {
  FakeNeighbours& self = *current_;
  self.note("change " + std::to_string(mode->dmPelsWidth) + "x" + std::to_string(mode->dmPelsHeight) +
            " on " + desktop_name(self.thread_desktop));
  self.mode_changes.push_back({*mode, flags});
  return self.change_result;
}

std::string FakeNeighbours::desktop_name(HDESK desktop) {
  if (desktop == own_desktop()) return "own";
  if (desktop == input_desktop()) return "input";
  return desktop == nullptr ? "none" : "unknown";
}

HDESK WINAPI FakeNeighbours::get_thread_desktop(DWORD thread_id) {
  FakeNeighbours& self = *current_;
  self.note("desktop get");
  self.desktop_thread_ids.push_back(thread_id);
  if (self.no_thread_desktop) return nullptr;
  return self.thread_desktop;
}

HDESK WINAPI FakeNeighbours::open_input_desktop(DWORD flags, BOOL inherit, ACCESS_MASK access) {
  FakeNeighbours& self = *current_;
  self.note("desktop open");
  self.open_calls.push_back({flags, inherit, access});
  if (self.input_desktop_fails) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ++self.desktops_open;
  return input_desktop();
}

BOOL WINAPI FakeNeighbours::set_thread_desktop(HDESK desktop) {
  FakeNeighbours& self = *current_;
  self.note("desktop set " + desktop_name(desktop));
  if (self.switch_fails && desktop == input_desktop()) return FALSE;
  self.thread_desktop = desktop;
  return TRUE;
}

BOOL WINAPI FakeNeighbours::close_desktop(HDESK desktop) {
  FakeNeighbours& self = *current_;
  // As on Windows: a desktop that a thread of the process uses stays open.
  const bool in_use = desktop == self.thread_desktop;
  self.note("desktop close " + desktop_name(desktop) + (in_use ? " refused" : ""));
  if (in_use || desktop != input_desktop()) return FALSE;
  --self.desktops_open;
  return TRUE;
}

bool eventually(const std::function<bool()>& condition, int timeout_ms) {
  for (int waited = 0, bound = scaled_milliseconds(timeout_ms); waited < bound; waited += 10) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

bool run_service(TService& service, const std::function<void()>& while_running) {
  std::atomic<bool> ended{false};
  std::thread main_thread([&service, &ended] {
    char name[] = "xvVistrell";
    char* argv[] = {name};
    service.Main(1, argv);
    ended = true;
  });
  if (while_running) while_running();
  const bool ended_by_itself = eventually([&ended] { return ended.load(); });
  if (!ended_by_itself) service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  main_thread.join();
  return ended_by_itself;
}
