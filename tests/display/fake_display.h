// A fake display set behind the display call table: the devices a blade
// would report, device contexts that can fail, detach results and a mode
// list, with a record of every call. Installed for one scope; the calls it
// does not fake stay the real ones.
#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "display/display_api.h"

struct FakeDevice {
  std::string name;    // DeviceName, e.g. "\\.\DISPLAY1"
  std::string string;  // DeviceString
  DWORD flags = 0;     // StateFlags
  std::string id;      // DeviceID
  std::string key;     // DeviceKey
};

struct FakeDisplay {
  // What the display set reports.
  std::vector<FakeDevice> devices;
  std::set<std::string> dc_failures;           // CreateDCA gives null for these names
  std::map<std::string, LONG> detach_results;  // ChangeDisplaySettingsExA by device, default 0
  LONG apply_result = DISP_CHANGE_SUCCESSFUL;  // the call with every argument null
  DWORD mode_count = 3;                        // modes 0 .. mode_count-1 exist

  // What was called.
  struct EnumCall {
    bool device_null;
    DWORD number;
    PDISPLAY_DEVICEA record;
    DWORD cb;
    DWORD flags;
  };
  std::vector<EnumCall> enum_calls;
  struct SettingsCall {
    std::string device;  // "(null)" for no device
    bool has_mode;
    DEVMODEA mode;
    HWND window;
    DWORD flags;
    LPVOID parameter;
  };
  std::vector<SettingsCall> settings_calls;
  struct DcCall {
    std::string driver;
    std::string device;
    bool output_null;
    bool data_null;
  };
  std::vector<DcCall> dc_calls;
  int dcs_created = 0;
  int dcs_deleted = 0;
  bool deleted_unknown_dc = false;
  struct ModeQuery {
    bool device_null;
    DWORD mode_number;
    DWORD size;
  };
  std::vector<ModeQuery> mode_queries;

  int live_dcs() const { return dcs_created - dcs_deleted; }
  std::vector<std::string> detached_devices() const;  // first-call device names, in order
};

// Puts the fake in place of the real display calls for the scope.
class ScopedFakeDisplay {
 public:
  ScopedFakeDisplay();
  ~ScopedFakeDisplay();
  ScopedFakeDisplay(const ScopedFakeDisplay&) = delete;
  ScopedFakeDisplay& operator=(const ScopedFakeDisplay&) = delete;

  FakeDisplay& operator*() { return fake_; }
  FakeDisplay* operator->() { return &fake_; }

 private:
  FakeDisplay fake_;
  DisplayApi previous_;
};

// Common device flag sets.
constexpr DWORD kAttached = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
constexpr DWORD kPrimary = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE;
constexpr DWORD kMirroring = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_MIRRORING_DRIVER;
