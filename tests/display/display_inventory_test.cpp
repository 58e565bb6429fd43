// The display inventory and detachment against the fake display set, and
// the any-convention call; nothing here needs the ATI display library. Lines
// are compared as "-d" writes them (a capture at level 1) and, where the entry
// and exit lines count, as "-t" does too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "common/errors.h"
#include "display/atidll.h"
#include "tests/common/row_name.h"
#include "tests/display/fake_display.h"
#include "tests/display/text_error.h"
#include "tests/display/trace_capture.h"
#include "tests/display/trace_views.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

DISPLAY_DEVICEA device_record(const FakeDevice& device) {
  DISPLAY_DEVICEA record;
  std::memset(&record, 0, sizeof record);
  record.cb = sizeof record;
  std::strncpy(record.DeviceName, device.name.c_str(), sizeof record.DeviceName - 1);
  std::strncpy(record.DeviceString, device.string.c_str(), sizeof record.DeviceString - 1);
  record.StateFlags = device.flags;
  std::strncpy(record.DeviceID, device.id.c_str(), sizeof record.DeviceID - 1);
  std::strncpy(record.DeviceKey, device.key.c_str(), sizeof record.DeviceKey - 1);
  return record;
}

TAdapterList adapter_list(const std::vector<FakeDevice>& devices) {
  TAdapterList list;
  for (const FakeDevice& device : devices) list.push_back(std::make_unique<TAdapter>(device_record(device)));
  return list;
}

// ---- TAdapter

struct FlagCase {
  DWORD flags;
  bool attached, primary, mirroring;
};

void PrintTo(const FlagCase& c, std::ostream* out) { *out << "flags " << c.flags; }

class AdapterFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(AdapterFlags, EachQueryTestsItsOwnBit) {
  const FlagCase& c = GetParam();
  const TAdapter adapter(device_record({"\\\\.\\DISPLAY1", "x", c.flags, "", ""}));
  EXPECT_EQ(adapter.is_attached_to_desktop(), c.attached);
  EXPECT_EQ(adapter.is_primary_device(), c.primary);
  EXPECT_EQ(adapter.is_mirroring_driver(), c.mirroring);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, AdapterFlags,
    ::testing::Values(FlagCase{0x0, false, false, false}, FlagCase{0x1, true, false, false},
                      FlagCase{0x4, false, true, false}, FlagCase{0x8, false, false, true},
                      FlagCase{0x15, true, true, false}, FlagCase{0x9, true, false, true},
                      FlagCase{0xFFFFFFF2, false, false, false}),
    [](const ::testing::TestParamInfo<FlagCase>& row) { return "State" + std::to_string(row.param.flags); });

struct DriverCase {
  const char* string;
  const char* key;
  bool rdp, tlv;
};

void PrintTo(const DriverCase& c, std::ostream* out) { *out << '"' << c.string << "\" \"" << c.key << '"'; }

class AdapterDrivers : public ::testing::TestWithParam<DriverCase> {};

TEST_P(AdapterDrivers, RdpByKeyPartAndTelvaneByWholeString) {
  const DriverCase& c = GetParam();
  const TAdapter adapter(device_record({"\\\\.\\DISPLAY1", c.string, kAttached, "", c.key}));
  EXPECT_EQ(adapter.is_RDP_driver(), c.rdp);
  EXPECT_EQ(adapter.is_TLV_driver(), c.tlv);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, AdapterDrivers,
    ::testing::Values(
        DriverCase{"XV Telvane Driver", "", false, true}, DriverCase{"XV Telvane Driver ", "", false, false},
        DriverCase{"xv telvane driver", "", false, false}, DriverCase{"XV Telvane", "", false, false},
        DriverCase{" XV Telvane Driver", "", false, false},
        DriverCase{"RDPDD Chained DD",
                   "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RDPDD\\Device0", true, false},
        DriverCase{"x", "\\RDPDD\\", true, false},
        DriverCase{"x", "\\Services\\rdpdd\\Device0", false, false},
        DriverCase{"x", "\\Services\\RDPDD", false, false}, DriverCase{"x", "RDPDD\\Device0", false, false}),
    [](const ::testing::TestParamInfo<DriverCase>& row) {
      return row_name(std::string(row.param.string) + "_" + row.param.key);
    });

TEST(Adapter, CopiesTheWholeRecordAndReadsUnterminatedFieldsSafely) {
  DISPLAY_DEVICEA record;
  std::memset(&record, 'X', sizeof record);  // no field is terminated
  record.cb = sizeof record;
  record.StateFlags = kPrimary;
  const TAdapter adapter(record);
  EXPECT_EQ(std::memcmp(&adapter.device(), &record, sizeof record), 0);
  EXPECT_FALSE(adapter.is_TLV_driver());
  EXPECT_FALSE(adapter.is_RDP_driver());
}

// ---- Monitor kind names

TEST(MonitorKindNames, CodesOneToEightAreNamedAndEverythingElseIsUnknown) {
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {{0, "Unknown"},
                                                                    {1, "LCD"},
                                                                    {2, "CRT"},
                                                                    {3, "TV"},
                                                                    {4, "DFP"},
                                                                    {5, "CRT2"},
                                                                    {6, "DFP2"},
                                                                    {7, "CV"},
                                                                    {8, "DFPI2"},
                                                                    {9, "Unknown"},
                                                                    {10, "Unknown"},
                                                                    {12, "Unknown"},
                                                                    {0x80000000u, "Unknown"},
                                                                    {0xFFFFFFFFu, "Unknown"}};
  for (const auto& c : cases) EXPECT_EQ(monitor_kind_name(c.first), c.second) << c.first;
}

// ---- enumerate_adapters

TEST(EnumerateAdapters, RefusesANullList) {
  ScopedFakeDisplay fake;
  EXPECT_EQ(text_error([] { enumerate_adapters(nullptr); }),
            "List of adapters must be provided by the caller");
  EXPECT_THAT(fake->enum_calls, IsEmpty());
}

TEST(EnumerateAdapters, LogsEveryDeviceInSixLinesAndKeepsOnlyAttachedOnes) {
  ScopedFakeDisplay fake;
  fake->devices = {{"\\\\.\\DISPLAY1", "ATI RADEON X300", kPrimary, "PCI\\VEN_1002&DEV_5B60",
                    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ati2mtag\\Device0"},
                   {"\\\\.\\DISPLAY2", "Not on the desktop", 0x0, "PCI\\VEN_1002&DEV_5B70", "key2"},
                   {"\\\\.\\DISPLAY3", "XV Telvane Driver", kMirroring, "", "key3"}};
  TAdapterList list;
  const TraceViews views = trace_views([&list](int) {
    list.clear();
    enumerate_adapters(&list);
  });

  expect_views(views,
               {">> enumerate_adapters",
                "Adapter 0\n"
                "  Device: \\\\.\\DISPLAY1\n"
                "  Name:   ATI RADEON X300\n"
                "  State:  0x00000005\n"
                "  PnP ID: PCI\\VEN_1002&DEV_5B60\n"
                "  Key:    \\Registry\\Machine\\System\\CurrentControlSet\\Services\\ati2mtag\\Device0",
                "  Attached to desktop",
                "Adapter 1\n"
                "  Device: \\\\.\\DISPLAY2\n"
                "  Name:   Not on the desktop\n"
                "  State:  0x00000000\n"
                "  PnP ID: PCI\\VEN_1002&DEV_5B70\n"
                "  Key:    key2",
                "Adapter 2\n"
                "  Device: \\\\.\\DISPLAY3\n"
                "  Name:   XV Telvane Driver\n"
                "  State:  0x00000009\n"
                "  PnP ID: \n"
                "  Key:    key3",
                "  Attached to desktop", "<< enumerate_adapters"});

  ASSERT_EQ(list.size(), 2u);
  EXPECT_STREQ(list[0]->device().DeviceName, "\\\\.\\DISPLAY1");
  EXPECT_STREQ(list[1]->device().DeviceName, "\\\\.\\DISPLAY3");
  EXPECT_EQ(list[1]->device().cb, 424u);
}

TEST(EnumerateAdapters, OneRecordNoDeviceNameAndFlagsZeroUntilTheFirstFalse) {
  ScopedFakeDisplay fake;
  fake->devices = {{"a", "1", kPrimary, "", ""}, {"b", "2", 0, "", ""}};
  TAdapterList list;
  enumerate_adapters(&list);
  ASSERT_EQ(fake->enum_calls.size(), 3u);
  for (std::size_t n = 0; n < fake->enum_calls.size(); ++n) {
    const FakeDisplay::EnumCall& call = fake->enum_calls[n];
    EXPECT_TRUE(call.device_null);
    EXPECT_EQ(call.number, n);
    EXPECT_EQ(call.record, fake->enum_calls[0].record) << "the same record for every device";
    EXPECT_EQ(call.cb, 424u);
    EXPECT_EQ(call.flags, 0u);
  }
}

TEST(EnumerateAdapters, AppendsToWhatTheListHolds) {
  ScopedFakeDisplay fake;
  fake->devices = {{"b", "2", kAttached, "", ""}};
  TAdapterList list = adapter_list({{"a", "1", kPrimary, "", ""}});
  enumerate_adapters(&list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_STREQ(list[1]->device().DeviceName, "b");
}

// ---- is_RDP_connection, is_TLV_running

TEST(DriverChecks, OneMatchingAdapterIsEnoughAndAnEmptyListGivesFalse) {
  const TAdapterList empty;
  const TAdapterList both = adapter_list({{"a", "ATI", kPrimary, "", "\\Services\\ati2mtag\\Device0"},
                                          {"b", "XV Telvane Driver", kMirroring, "", ""},
                                          {"c", "RDP", kAttached, "", "\\Services\\RDPDD\\Device0"}});
  expect_views(trace_views([&empty](int) {
                 EXPECT_FALSE(is_RDP_connection(&empty));
                 EXPECT_FALSE(is_TLV_running(&empty));
               }),
               {">> is_RDP_connection", "RDP is connected: false", "<< is_RDP_connection",
                ">> is_TLV_running", "TLV is running: false", "<< is_TLV_running"});
  expect_views(trace_views([&both](int) {
                 EXPECT_TRUE(is_RDP_connection(&both));
                 EXPECT_TRUE(is_TLV_running(&both));
               }),
               {">> is_RDP_connection", "RDP is connected: true", "<< is_RDP_connection", ">> is_TLV_running",
                "TLV is running: true", "<< is_TLV_running"});
}

// ---- disable_extended_desktop_mode, disable_monitor

// The primary display, a mirroring driver, a device off the desktop and two
// secondary displays.
TAdapterList desktop_with_two_secondaries() {
  return adapter_list({{"\\\\.\\DISPLAY1", "ATI RADEON X300", kPrimary, "", ""},
                       {"\\\\.\\DISPLAY2", "XV Telvane Driver", kMirroring, "", ""},
                       {"\\\\.\\DISPLAY3", "Second head", kAttached, "", ""},
                       {"\\\\.\\DISPLAY4", "Off the desktop", 0, "", ""},
                       {"\\\\.\\DISPLAY5", "Third head", kAttached, "", ""}});
}

TEST(DisableExtendedDesktop, RefusesANullListWithItsOwnWording) {
  ScopedFakeDisplay fake;
  EXPECT_EQ(text_error([] { disable_extended_desktop_mode(nullptr); }),
            "List of adapters must be provided by caller");
}

TEST(DisableExtendedDesktop, DetachesEverySecondaryDisplayAndNothingElse) {
  ScopedFakeDisplay fake;
  const TAdapterList list = desktop_with_two_secondaries();
  const TraceCapture capture(1);
  disable_extended_desktop_mode(&list);

  EXPECT_THAT(fake->detached_devices(), ElementsAre("\\\\.\\DISPLAY3", "\\\\.\\DISPLAY5"));
  EXPECT_THAT(
      capture.texts(),
      ElementsAre("Disabling adapter 2 (Second head)", "Updated adapter \\\\.\\DISPLAY3's registery settings",
                  "Detached adapter from desktop", "Disabling adapter 4 (Third head)",
                  "Updated adapter \\\\.\\DISPLAY5's registery settings", "Detached adapter from desktop"));
}

TEST(DisableMonitor, StoresTheDetachedStateThenAppliesAllDevices) {
  ScopedFakeDisplay fake;
  const TAdapterList list = desktop_with_two_secondaries();
  disable_monitor(list[2]->device());

  ASSERT_EQ(fake->settings_calls.size(), 2u);
  const FakeDisplay::SettingsCall& store = fake->settings_calls[0];
  EXPECT_EQ(store.device, "\\\\.\\DISPLAY3");
  ASSERT_TRUE(store.has_mode);
  EXPECT_EQ(store.flags, 0x10000009u);
  EXPECT_EQ(store.window, nullptr);
  EXPECT_EQ(store.parameter, nullptr);
  DEVMODEA expected;
  std::memset(&expected, 0, sizeof expected);
  expected.dmSize = 156;
  expected.dmFields = 0x00180020;
  EXPECT_EQ(std::memcmp(&store.mode, &expected, sizeof expected), 0)
      << "only the size and the field mask are set";

  const FakeDisplay::SettingsCall& apply = fake->settings_calls[1];
  EXPECT_EQ(apply.device, "(null)");
  EXPECT_FALSE(apply.has_mode);
  EXPECT_EQ(apply.window, nullptr);
  EXPECT_EQ(apply.flags, 0u);
  EXPECT_EQ(apply.parameter, nullptr);
}

TEST(DisableMonitor, TheSecondFailureLeavesTheFirstDisplayDetached) {
  ScopedFakeDisplay fake;
  fake->detach_results["\\\\.\\DISPLAY5"] = DISP_CHANGE_BADMODE;
  const TAdapterList list = desktop_with_two_secondaries();
  TraceCapture capture;
  EXPECT_EQ(text_error([&] { disable_extended_desktop_mode(&list); }),
            "Unable to detach adapter \\\\.\\DISPLAY5 from desktop (0xFFFFFFFE)");
  EXPECT_THAT(fake->detached_devices(), ElementsAre("\\\\.\\DISPLAY3", "\\\\.\\DISPLAY5"));
  // Stored and applied for the first; refused for the second, so not applied.
  EXPECT_EQ(fake->settings_calls.size(), 3u);
  EXPECT_EQ(capture.count_starting_with("Detached adapter from desktop"), 1);
  EXPECT_FALSE(capture.has("<< disable_extended_desktop_mode"));
  EXPECT_FALSE(capture.has("Updated adapter \\\\.\\DISPLAY5's registery settings"));
}

TEST(DisableMonitor, AFailedApplyReplacesTheStoreResult) {
  ScopedFakeDisplay fake;
  fake->apply_result = DISP_CHANGE_RESTART;
  const TraceCapture capture(1);
  const DISPLAY_DEVICEA record = device_record({"\\\\.\\DISPLAY3", "x", kAttached, "", ""});
  try {
    disable_monitor(record);
    ADD_FAILURE() << "no error";
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(), "Unable to detach adapter \\\\.\\DISPLAY3 from desktop (0x00000001)");
  }
  EXPECT_THAT(capture.texts(), ElementsAre("Updated adapter \\\\.\\DISPLAY3's registery settings"));
}

// ---- get_Windows_to_update_desktop_settings

TEST(UpdateDesktopSettings, ReadsTheCurrentModeThenWalksTheWholeList) {
  ScopedFakeDisplay fake;
  fake->mode_count = 4;
  get_Windows_to_update_desktop_settings();
  std::vector<DWORD> numbers;
  for (const FakeDisplay::ModeQuery& query : fake->mode_queries) {
    EXPECT_TRUE(query.device_null);
    EXPECT_EQ(query.size, 156u);
    numbers.push_back(query.mode_number);
  }
  EXPECT_THAT(numbers, ElementsAre(ENUM_CURRENT_SETTINGS, 0u, 1u, 2u, 3u, 4u));
}

// ---- Calls whatever the convention

std::uintptr_t first_frame = 0;
bool frames_moved = false;

void note_frame(std::uintptr_t frame) {
  if (first_frame == 0) first_frame = frame;
  if (frame != first_frame) frames_moved = true;
}

std::int32_t __stdcall stdcall_export(std::int32_t a, std::int32_t b, std::int32_t c) {
  note_frame(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  return a * 100 + b * 10 + c;
}

std::int32_t __cdecl cdecl_export(std::int32_t a, std::int32_t b, std::int32_t c) {
  note_frame(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  return a * 100 + b * 10 + c;
}

std::int32_t __stdcall no_arguments() { return -7; }

// Through void (*)(), the generic function pointer, as GetProcAddress would.
template <typename Function>
FARPROC as_export(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// Called in a loop, a convention mismatch would move the stack a little on
// every call; the callee's frame must stay where it was.
TEST(AnyConventionCall, PassesArgumentsInOrderAndKeepsTheStackForBothConventions) {
  const AtiArgument arguments[] = {1, 2, 3};
  for (FARPROC function : {as_export(stdcall_export), as_export(cdecl_export)}) {
    first_frame = 0;
    frames_moved = false;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(call_any_convention(function, arguments, 3), 123);
    EXPECT_FALSE(frames_moved);
  }
  EXPECT_EQ(call_any_convention(as_export(no_arguments), nullptr, 0), -7);
}

}  // namespace
