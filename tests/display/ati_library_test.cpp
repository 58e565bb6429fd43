// The ATI display library binding, the checks that call into it and clone
// mode, against the real stand-in library loaded from the system directory
// of the test prefix. The same tests run once per calling-convention build
// of the stand-in; the display devices come from the fake display set. Lines
// are compared as "-d" writes them (a capture at level 1) and, where the entry
// and exit lines count, as "-t" does too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "common/errors.h"
#include "display/atidll.h"
#include "sim/ati/ati_state.h"
#include "tests/display/fake_display.h"
#include "tests/display/stand_in.h"
#include "tests/display/text_error.h"
#include "tests/display/trace_capture.h"
#include "tests/display/trace_views.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// The process's build goes into the system directory before any test runs.
class OwnBuildInstalled : public ::testing::Environment {
 public:
  void SetUp() override { install_stand_in(own_stand_in_build()); }
};
::testing::Environment* const own_build = ::testing::AddGlobalTestEnvironment(new OwnBuildInstalled);

const FakeDevice kAtiPrimary = {
    "\\\\.\\DISPLAY1", "ATI RADEON X300", kPrimary, "PCI\\VEN_1002&DEV_5B60",
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ati2mtag\\Device0"};
const FakeDevice kTelvane = {"\\\\.\\DISPLAY2", "XV Telvane Driver", kMirroring, "",
                             "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tlvdd\\Device0"};
const FakeDevice kSecondary = {"\\\\.\\DISPLAY3", "ATI RADEON X300 Secondary", kAttached,
                               "PCI\\VEN_1002&DEV_5B70",
                               "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ati2mtag\\Device1"};
const FakeDevice kRdp = {"\\\\.\\DISPLAY4", "RDPDD Chained DD", kMirroring, "",
                         "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RDPDD\\Device0"};
const FakeDevice kUnattached = {"\\\\.\\DISPLAY5", "Off the desktop", 0x0, "", "key"};

int count_starting_with(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.compare(0, prefix.size(), prefix) == 0;
  }));
}

void set(const std::string& name, DWORD value) { ati_stand_in::write_number(name, value); }

// A blade: the primary ATI display and the Telvane mirror driver; the
// stand-in starts from its defaults (ATI identifier 0x1002 for adapter 0,
// 2 controllers and 2 ports, displays 0 and 1 connected, configuration
// (1, 0), monitors CRT and DFP).
class AtiLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ati_stand_in::reset_state();
    fake->devices = {kAtiPrimary, kTelvane};
  }
  void TearDown() override {
    if (ATI_library_handle() != nullptr) ATI_free_display_interface_functions();
    EXPECT_EQ(fake->live_dcs(), 0);
    EXPECT_FALSE(fake->deleted_unknown_dc);
  }
  void load() {
    ATI_load_display_interface_functions();
    ati_stand_in::clear_call_log();  // the log starts after the load
  }
  // Both views of a case (trace_views); the second run starts afresh, and
  // the checks after it see that run.
  TraceViews views_of(const std::function<void()>& run_case) {
    return trace_views([&](int) { run_case(); },
                       [this] {
                         TearDown();
                         *fake = FakeDisplay{};
                         SetUp();
                       });
  }

  ScopedFakeDisplay fake;
};

// ---- Loading and binding

// The binding lines are for "-t" only.
TEST_F(AtiLibrary, LoadBindsTheTenExportsInOrderFromTheSystemDirectory) {
  const TraceViews views = views_of([] { ATI_load_display_interface_functions(); });
  expect_views(
      views, {},
      {">> ATI_load_display_interface_functions",
       "  Getting address of exported function ATIDL_DisplayGetEdidData",
       "  Getting address of exported function EnumDisplays",
       "  Getting address of exported function ATIDL_GetActiveDisplays",
       "  Getting address of exported function ATIDL_GetAdapterID",
       "  Getting address of exported function GetCapabilities",
       "  Getting address of exported function GetConfiguration",
       "  Getting address of exported function GetConnectedDisplays",
       "  Getting address of exported function ATIDL_GetDisplaySettings",
       "  Getting address of exported function ATIDL_GetDisplayVector",
       "  Getting address of exported function SetConfiguration", "<< ATI_load_display_interface_functions"});
  ASSERT_NE(ATI_library_handle(), nullptr);
  char file[MAX_PATH];
  const DWORD length = GetModuleFileNameA(ATI_library_handle(), file, sizeof file);
  EXPECT_EQ(lstrcmpiA(std::string(file, length).c_str(), ATI_library_path().c_str()), 0) << file;
  char system[MAX_PATH];
  GetSystemDirectoryA(system, sizeof system);
  EXPECT_EQ(ATI_library_path(), std::string(system) + "\\atipdlxx.dll");
}

TEST_F(AtiLibrary, LoadAsksForNoErrorBoxesAndRestoresTheErrorMode) {
  const UINT original = SetErrorMode(SEM_FAILCRITICALERRORS);
  ATI_load_display_interface_functions();
  EXPECT_EQ(SetErrorMode(original), static_cast<UINT>(SEM_FAILCRITICALERRORS));
  EXPECT_THAT(stand_in_calls(), ElementsAre("attach error-mode=0x00008000"));
}

TEST_F(AtiLibrary, FreeClearsTheTableAndUnloadsAndASecondFreeDoesNothing) {
  ATI_load_display_interface_functions();
  const std::string path = ATI_library_path();
  ASSERT_NE(GetModuleHandleA(path.c_str()), nullptr);
  TraceCapture capture;
  ATI_free_display_interface_functions();
  EXPECT_EQ(ATI_library_handle(), nullptr);
  EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
  ATI_free_display_interface_functions();
  EXPECT_EQ(ATI_library_handle(), nullptr);
  EXPECT_THAT(
      capture.texts(),
      ElementsAre(">> ATI_free_display_interface_functions", "<< ATI_free_display_interface_functions",
                  ">> ATI_free_display_interface_functions", "<< ATI_free_display_interface_functions"));
}

TEST_F(AtiLibrary, AFailedUnloadRaisesTheSystemErrorAndKeepsTheHandle) {
  ATI_load_display_interface_functions();
  const HMODULE handle = ATI_library_handle();
  ASSERT_TRUE(FreeLibrary(handle));  // gone behind the table's back
  try {
    ATI_free_display_interface_functions();
    ADD_FAILURE() << "no error";
  } catch (const EOSError& error) {
    EXPECT_NE(error.code(), 0u);
    EXPECT_EQ(error.message(), os_error_message(error.code()));
  }
  EXPECT_EQ(ATI_library_handle(), handle);
  // A fresh load replaces the stale handle, and the fixture frees that.
  ATI_load_display_interface_functions();
}

// Never loaded, released, and released with the system refusing the unload:
// the last keeps the handle but not the functions, and must not be called
// into.
TEST_F(AtiLibrary, EnableBeforeLoadAfterFreeOrAfterAFailedFreeTracesOnlyItsEntryLine) {
  enum class Before { nothing, free, failed_free };
  for (Before before : {Before::nothing, Before::free, Before::failed_free}) {
    SCOPED_TRACE(static_cast<int>(before));
    if (before != Before::nothing) ATI_load_display_interface_functions();
    if (before == Before::free) ATI_free_display_interface_functions();
    if (before == Before::failed_free) {
      ASSERT_TRUE(FreeLibrary(ATI_library_handle()));  // gone behind the table's back
      EXPECT_THROW(ATI_free_display_interface_functions(), EOSError);
      ASSERT_NE(ATI_library_handle(), nullptr);
    }
    TraceCapture capture;
    EXPECT_EQ(text_error([] { ATI_enable_clone_mode(); }),
              "Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode");
    EXPECT_THAT(capture.texts(), ElementsAre(">> ATI_enable_clone_mode"));
    EXPECT_THAT(fake->enum_calls, IsEmpty());
  }
  // A fresh load replaces the stale handle, and the fixture frees that.
  ATI_load_display_interface_functions();
}

// Restores the current folder and PATH when the test ends.
class PlantedCopies {
 public:
  PlantedCopies() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string base = std::string(temp) + "xvplanted" + std::to_string(GetCurrentProcessId());
    current_ = base + "_cwd";
    on_path_ = base + "_path";
    for (const std::string& folder : {current_, on_path_}) {
      CreateDirectoryA(folder.c_str(), nullptr);
      CopyFileA(stand_in_build_file(own_stand_in_build()).c_str(), (folder + "\\atipdlxx.dll").c_str(),
                FALSE);
    }
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    old_cwd_ = cwd;
    char path[32767];
    const DWORD length = GetEnvironmentVariableA("PATH", path, sizeof path);
    old_path_ = length < sizeof path ? std::string(path, length) : "";
  }
  ~PlantedCopies() {
    SetCurrentDirectoryA(old_cwd_.c_str());
    SetEnvironmentVariableA("PATH", old_path_.c_str());
    for (const std::string& folder : {current_, on_path_}) {
      DeleteFileA((folder + "\\atipdlxx.dll").c_str());
      RemoveDirectoryA(folder.c_str());
    }
  }
  void use(bool in_current_folder, bool on_path) {
    SetCurrentDirectoryA(in_current_folder ? current_.c_str() : old_cwd_.c_str());
    SetEnvironmentVariableA("PATH", on_path ? (on_path_ + ";" + old_path_).c_str() : old_path_.c_str());
  }

 private:
  std::string current_, on_path_, old_cwd_, old_path_;
};

TEST_F(AtiLibrary, MissingFromTheSystemDirectoryIsMissingWhereverElseItLies) {
  ScopedStandInBuild none("");
  PlantedCopies planted;
  struct Place {
    bool current_folder, on_path;
  };
  for (const Place& place :
       {Place{false, false}, Place{true, false}, Place{false, true}, Place{true, true}}) {
    planted.use(place.current_folder, place.on_path);
    if (place.current_folder || place.on_path) {
      // A load by bare name would take the planted copy.
      const HMODULE bare = LoadLibraryA("atipdlxx.dll");
      ASSERT_NE(bare, nullptr);
      FreeLibrary(bare);
    }
    const UINT original = SetErrorMode(SEM_FAILCRITICALERRORS);
    TraceCapture capture;
    EXPECT_EQ(text_error([] { ATI_load_display_interface_functions(); }), "Unable to load ATI DLL");
    EXPECT_EQ(SetErrorMode(original), static_cast<UINT>(SEM_FAILCRITICALERRORS));
    EXPECT_EQ(ATI_library_handle(), nullptr);
    EXPECT_THAT(capture.texts(), ElementsAre(">> ATI_load_display_interface_functions"));
  }
}

TEST_F(AtiLibrary, AMissingNeverCalledExportFailsTheLoadWithTheSystemError) {
  ScopedStandInBuild missing("missing_export");
  TraceCapture capture;
  try {
    ATI_load_display_interface_functions();
    ADD_FAILURE() << "no error";
  } catch (const TextError&) {
    ADD_FAILURE() << "a text error instead of the system error";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.code(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_THAT(error.message(), StartsWith("System Error.  Code: 127.\r\n"));
  }
  EXPECT_EQ(capture.count_starting_with("  Getting address of exported function "), 9);
  EXPECT_EQ(capture.texts().back(), "  Getting address of exported function ATIDL_GetDisplayVector");
  // Nothing is left to call into: the library is unloaded again.
  EXPECT_EQ(ATI_library_handle(), nullptr);
  EXPECT_EQ(GetModuleHandleA(ATI_library_path().c_str()), nullptr);
  EXPECT_EQ(text_error([] { ATI_enable_clone_mode(); }),
            "Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode");
}

// ---- find_primary_ATI_controller

TEST_F(AtiLibrary, FindsThePrimaryAtiAdapterAndReleasesEveryProbe) {
  load();
  TAdapterList list;
  enumerate_adapters(&list);
  const TraceCapture capture(1);
  EXPECT_EQ(find_primary_ATI_controller(&list), 0);
  EXPECT_THAT(capture.texts(), ElementsAre("First ATI adapter found (id = 0x00001002)"));
  ASSERT_EQ(fake->dc_calls.size(), 1u);
  EXPECT_EQ(fake->dc_calls[0].driver, kAtiPrimary.name);
  EXPECT_EQ(fake->dc_calls[0].device, kAtiPrimary.name);
  EXPECT_TRUE(fake->dc_calls[0].output_null);
  EXPECT_TRUE(fake->dc_calls[0].data_null);
  EXPECT_EQ(fake->live_dcs(), 0);
  EXPECT_THAT(stand_in_calls(), ElementsAre("ATIDL_GetAdapterID 0 -> 0 id=0x00001002"));
}

TEST_F(AtiLibrary, TheAdapterIndexCountsAttachedDevicesOnly) {
  fake->devices = {kUnattached, kTelvane, kUnattached, kAtiPrimary};
  set("AdapterId1", 0x1002);
  load();
  TAdapterList list;
  enumerate_adapters(&list);
  EXPECT_EQ(find_primary_ATI_controller(&list), 1);
  EXPECT_THAT(stand_in_calls(), ElementsAre("ATIDL_GetAdapterID 1 -> 0 id=0x00001002"));
}

struct NotFoundCase {
  const char* name;
  std::function<void(FakeDisplay&)> arrange;
  int adapter_id_calls;
};

void PrintTo(const NotFoundCase& c, std::ostream* out) { *out << c.name; }

class AtiNotFound : public AtiLibrary, public ::testing::WithParamInterface<NotFoundCase> {};

TEST_P(AtiNotFound, RaisesTheWeAreDoneErrorWithEveryProbeReleased) {
  GetParam().arrange(*fake);
  load();
  TAdapterList list;
  enumerate_adapters(&list);
  EXPECT_EQ(text_error([&] { find_primary_ATI_controller(&list); }),
            "ATI graphics adapter not found, we're done");
  EXPECT_EQ(fake->live_dcs(), 0);
  EXPECT_EQ(count_starting_with(stand_in_calls(), "ATIDL_GetAdapterID"), GetParam().adapter_id_calls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtiNotFound,
    ::testing::Values(NotFoundCase{"AttachedAtiAdapterThatIsNotPrimary",
                                   [](FakeDisplay& f) {
                                     FakeDevice plain = kAtiPrimary;
                                     plain.string = "Standard VGA";
                                     f.devices = {plain, kSecondary, kTelvane};
                                     set("AdapterId0", 0);
                                     set("AdapterId1", 0x1002);
                                   },
                                   1},
                      NotFoundCase{"IdentifierZeroForEveryCandidate",
                                   [](FakeDisplay& f) {
                                     FakeDevice second_primary = kSecondary;
                                     second_primary.flags = kPrimary;
                                     f.devices = {kAtiPrimary, second_primary, kTelvane};
                                     set("AdapterId0", 0);
                                     set("AdapterId1", 0);
                                   },
                                   2},
                      NotFoundCase{"IdentifierCallFails",
                                   [](FakeDisplay&) { set("FailATIDL_GetAdapterID", 5); }, 1},
                      NotFoundCase{"DeviceContextCannotBeCreated",
                                   [](FakeDisplay& f) { f.dc_failures.insert(kAtiPrimary.name); }, 0},
                      NotFoundCase{"NoDevicesAtAll", [](FakeDisplay& f) { f.devices.clear(); }, 0}),
    [](const ::testing::TestParamInfo<NotFoundCase>& param_info) {
      return std::string(param_info.param.name);
    });

// ---- enumerate_ATI_monitors, is_local_connection, check_adapter_configuration

TEST_F(AtiLibrary, MonitorKindsAreNamedWithTheWrapAround) {
  ati_stand_in::write_text("MonitorKinds", "0,4,9,12");
  set("AdapterId1", 0x1002);  // the library answers for ATI adapters only
  load();
  const TraceCapture capture(1);
  enumerate_ATI_monitors(1);
  EXPECT_THAT(capture.texts(), ElementsAre("Monitor 0 is a Unknown", "Monitor 1 is a DFP",
                                           "Monitor 2 is a Unknown", "Monitor 3 is a Unknown"));
  EXPECT_THAT(stand_in_calls(), ElementsAre("EnumDisplays 1 0 -> 1 kind=0", "EnumDisplays 1 1 -> 1 kind=4",
                                            "EnumDisplays 1 2 -> 1 kind=9", "EnumDisplays 1 3 -> 1 kind=12",
                                            "EnumDisplays 1 4 -> 0"));
}

TEST_F(AtiLibrary, NoMoreThanEightMonitorsAreListed) {
  set("MonitorsEndless", 1);
  load();
  const TraceCapture capture(1);
  enumerate_ATI_monitors(0);
  const std::vector<std::string>& messages = capture.texts();
  ASSERT_EQ(messages.size(), 8u);
  EXPECT_EQ(messages.front(), "Monitor 0 is a CRT");
  EXPECT_EQ(messages.back(), "Monitor 7 is a Unknown");
  EXPECT_EQ(count_starting_with(stand_in_calls(), "EnumDisplays"), 8);
}

TEST_F(AtiLibrary, AFailingEnumDisplaysOnlyEndsTheListing) {
  set("FailEnumDisplays", 1);
  load();
  TraceCapture capture;
  enumerate_ATI_monitors(0);
  EXPECT_THAT(capture.texts(), ElementsAre(">> enumerate_ATI_monitors", "<< enumerate_ATI_monitors"));
}

TEST_F(AtiLibrary, OnlyDisplayZeroAloneIsALocalConnection) {
  load();
  const std::vector<std::pair<DWORD, bool>> cases = {{0x0, false}, {0x1, true}, {0x2, false}, {0x3, false}};
  for (const auto& c : cases) {
    set("ConnectedDisplays", c.first);
    const TraceCapture capture(1);
    EXPECT_EQ(is_local_connection(0), c.second) << c.first;
    char expected[64];
    std::snprintf(expected, sizeof expected, "Bit vector of connected displays: 0x%08X",
                  static_cast<unsigned>(c.first));
    EXPECT_THAT(capture.texts(), ElementsAre(expected));
  }
  set("FailGetConnectedDisplays", 1);
  EXPECT_EQ(text_error([] { is_local_connection(0); }),
            "Unable to get the list of monitors connected to the graphics adapter");
}

TEST_F(AtiLibrary, OnlyTwoControllersAndTwoPortsAreExpected) {
  load();
  struct Case {
    DWORD controllers, ports;
    bool expected;
    const char* message;
  };
  for (const Case& c : {Case{2, 2, true, "Adapter has 2 controllers and 2 monitor ports"},
                        Case{2, 3, false, "Adapter has 2 controllers and 3 monitor ports"},
                        Case{1, 2, false, "Adapter has 1 controllers and 2 monitor ports"}}) {
    set("Controllers", c.controllers);
    set("MonitorPorts", c.ports);
    const TraceCapture capture(1);
    EXPECT_EQ(check_adapter_configuration(0), c.expected);
    EXPECT_THAT(capture.texts(), ElementsAre(c.message));
  }
  set("FailGetCapabilities", 1);
  EXPECT_EQ(text_error([] { check_adapter_configuration(0); }),
            "Unable to determine the number of controllers or monitors on the graphics adapter");
}

// ---- verify_configuration_and_get_ATI_adapter

struct VerifyCase {
  const char* name;
  std::function<void(FakeDisplay&)> arrange;
  const char* error;  // empty: the adapter index comes back
  bool secondary_detached;
};

void PrintTo(const VerifyCase& c, std::ostream* out) { *out << c.name; }

class Verify : public AtiLibrary, public ::testing::WithParamInterface<VerifyCase> {};

// Every way out, every device context is deleted, and displays detached on
// the way stay detached.
TEST_P(Verify, EndsAsExpectedAndReleasesEverything) {
  const VerifyCase& c = GetParam();
  fake->devices = {kAtiPrimary, kTelvane, kSecondary};
  c.arrange(*fake);
  load();
  TraceCapture capture;
  std::string outcome;
  try {
    EXPECT_EQ(verify_configuration_and_get_ATI_adapter(), 0);
  } catch (const TextError& error) {
    outcome = error.text();
  }
  EXPECT_EQ(outcome, c.error);
  EXPECT_EQ(fake->live_dcs(), 0);
  EXPECT_EQ(fake->detached_devices().empty(), !c.secondary_detached);
  EXPECT_EQ(capture.has("<< verify_configuration_and_get_ATI_adapter"), outcome.empty());
  // The checks never touch the display configuration.
  EXPECT_EQ(count_starting_with(stand_in_calls(), "GetConfiguration"), 0);
  EXPECT_EQ(count_starting_with(stand_in_calls(), "SetConfiguration"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Verify,
    ::testing::Values(
        VerifyCase{"CloneModeMayBeApplied", [](FakeDisplay&) {}, "", true},
        VerifyCase{"RdpAndTelvaneBothPresent", [](FakeDisplay& f) { f.devices.push_back(kRdp); },
                   "Connected via RDP, we're done", false},
        VerifyCase{"RdpKeyPartInsideALongerKey",
                   [](FakeDisplay& f) {
                     FakeDevice rdp = kRdp;
                     rdp.key =
                         "\\Registry\\Machine\\System\\ControlSet001\\Services\\RDPDD\\Device0\\Settings";
                     f.devices.insert(f.devices.begin(), rdp);
                   },
                   "Connected via RDP, we're done", false},
        VerifyCase{"RdpDriverNotAttachedIsIgnored",
                   [](FakeDisplay& f) {
                     FakeDevice rdp = kRdp;
                     rdp.flags = 0;
                     f.devices.push_back(rdp);
                   },
                   "", true},
        VerifyCase{"TelvaneStringWithATrailingBlank",
                   [](FakeDisplay& f) { f.devices[1].string = "XV Telvane Driver "; },
                   "TLV is not running, we're done", false},
        VerifyCase{"TelvaneStringInLowerCase",
                   [](FakeDisplay& f) { f.devices[1].string = "xv telvane driver"; },
                   "TLV is not running, we're done", false},
        VerifyCase{"EmptyInventory", [](FakeDisplay& f) { f.devices.clear(); },
                   "TLV is not running, we're done", false},
        VerifyCase{"NoAtiAdapter", [](FakeDisplay&) { set("AdapterId0", 0); },
                   "ATI graphics adapter not found, we're done", false},
        VerifyCase{"DetachFails",
                   [](FakeDisplay& f) { f.detach_results[kSecondary.name] = DISP_CHANGE_BADMODE; },
                   "Unable to detach adapter \\\\.\\DISPLAY3 from desktop (0xFFFFFFFE)", true},
        VerifyCase{"LocalDiagnosticAdapter", [](FakeDisplay&) { set("ConnectedDisplays", 1); },
                   "Local diagnostic adapter connected, we're done", true},
        VerifyCase{"NoDisplayConnected", [](FakeDisplay&) { set("ConnectedDisplays", 0); }, "", true},
        VerifyCase{"Display1Only", [](FakeDisplay&) { set("ConnectedDisplays", 2); }, "", true},
        VerifyCase{"ConnectedDisplaysUnknown", [](FakeDisplay&) { set("FailGetConnectedDisplays", 1); },
                   "Unable to get the list of monitors connected to the graphics adapter", true},
        VerifyCase{"ThreeMonitorPorts", [](FakeDisplay&) { set("MonitorPorts", 3); },
                   "ATI controller is in an unexpected state", true},
        VerifyCase{"OneController", [](FakeDisplay&) { set("Controllers", 1); },
                   "ATI controller is in an unexpected state", true},
        VerifyCase{"CapabilitiesUnknown", [](FakeDisplay&) { set("FailGetCapabilities", 1); },
                   "Unable to determine the number of controllers or monitors on the graphics adapter",
                   true}),
    [](const ::testing::TestParamInfo<VerifyCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(AtiLibrary, VerifyRunsItsStepsInTheFixedOrder) {
  fake->devices = {kAtiPrimary, kTelvane, kSecondary};
  load();
  TraceCapture capture;
  verify_configuration_and_get_ATI_adapter();
  const std::vector<std::string> in_order = {">> verify_configuration_and_get_ATI_adapter",
                                             ">> enumerate_adapters",
                                             "<< enumerate_adapters",
                                             "RDP is connected: false",
                                             "TLV is running: true",
                                             "First ATI adapter found (id = 0x00001002)",
                                             "Disabling adapter 2 (ATI RADEON X300 Secondary)",
                                             "Detached adapter from desktop",
                                             "Monitor 0 is a CRT",
                                             "Monitor 1 is a DFP",
                                             ">> is_local_connection",
                                             "Bit vector of connected displays: 0x00000003",
                                             "Adapter has 2 controllers and 2 monitor ports",
                                             "<< verify_configuration_and_get_ATI_adapter"};
  int last = -1;
  for (const std::string& text : in_order) {
    const int at = capture.index_of(text);
    EXPECT_GT(at, last) << text;
    last = at;
  }
  EXPECT_THAT(stand_in_calls(), ElementsAre("ATIDL_GetAdapterID 0 -> 0 id=0x00001002",
                                            "EnumDisplays 0 0 -> 1 kind=2", "EnumDisplays 0 1 -> 1 kind=4",
                                            "EnumDisplays 0 2 -> 0", "GetConnectedDisplays 0 -> 0 0x00000003",
                                            "GetCapabilities 0 -> 0 controllers=2 ports=2"));
}

// ---- ATI_enable_clone_mode

std::vector<std::string> from(const std::vector<std::string>& texts, const std::string& first) {
  const auto start = std::find(texts.begin(), texts.end(), first);
  return std::vector<std::string>(start, texts.end());
}

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// Only the configuration (1, 2) read first counts as clone mode; every other
// one gets (1, 2) selected. Either way the modes are walked, and every call
// of the library names the ATI adapter's position among attached devices.
struct CloneCase {
  const char* name;
  DWORD controller0;
  DWORD controller1;
  int position;
};

void PrintTo(const CloneCase& c, std::ostream* out) { *out << c.name; }

class CloneMode : public AtiLibrary, public ::testing::WithParamInterface<CloneCase> {};

TEST_P(CloneMode, SelectsCloneModeUnlessAlreadySetThenWalksTheModes) {
  const CloneCase& c = GetParam();
  const TraceViews views = views_of([&] {
    if (c.position == 1) {
      fake->devices = {kTelvane, kAtiPrimary};
      set("AdapterId1", 0x1002);
    }
    set("Config0", c.controller0);
    set("Config1", c.controller1);
    load();
    EXPECT_FALSE(ATI_enable_clone_mode());
  });

  const std::string index = std::to_string(c.position);
  std::vector<std::string> texts = {
      "Current display configuration:", "  Controller 0 monitor bit vector: " + hex(c.controller0),
      "  Controller 1 monitor bit vector: " + hex(c.controller1)};
  std::vector<std::string> calls = {"GetConfiguration " + index + " 8 -> 0 " + hex(c.controller0) + " " +
                                    hex(c.controller1)};
  if (c.controller0 == 1 && c.controller1 == 2) {
    texts.emplace_back("Desktop is already configured in clone mode");
  } else {
    texts.insert(texts.end(), {"New display configuration:", "  Controller 0 monitor bit vector: 0x00000001",
                               "  Controller 1 monitor bit vector: 0x00000002"});
    calls.push_back("SetConfiguration " + index + " 8 0x00000001 0x00000002 -> 0");
    calls.push_back("GetConfiguration " + index + " 8 -> 0 0x00000001 0x00000002");
  }
  texts.insert(texts.end(), {">> get_Windows_to_update_desktop_settings",
                             "<< get_Windows_to_update_desktop_settings", "<< ATI_enable_clone_mode"});
  EXPECT_EQ(from(views.level_two, texts.front()), texts);
  EXPECT_EQ(from(views.level_one, texts.front()), without_entry_and_exit(texts));
  const std::vector<std::string> all_calls = stand_in_calls();
  EXPECT_EQ(from(all_calls, calls.front()), calls);
  for (const std::string& call : all_calls) {
    EXPECT_EQ(call.compare(call.find(' ') + 1, index.size() + 1, index + " "), 0) << call;
  }
  EXPECT_FALSE(fake->mode_queries.empty());
}

INSTANTIATE_TEST_SUITE_P(Configurations, CloneMode,
                         ::testing::Values(CloneCase{"AlreadyCloneMode", 1, 2, 0},
                                           CloneCase{"ControllersSwapped", 2, 1, 0},
                                           CloneCase{"Controller0DrivesNothing", 0, 2, 0},
                                           CloneCase{"BothControllersOnDisplay1", 2, 2, 0},
                                           CloneCase{"AtiAdapterSecondAmongAttached", 1, 0, 1}),
                         [](const ::testing::TestParamInfo<CloneCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST_F(AtiLibrary, ARefusedSelectionIsReportedThroughTheResult) {
  const TraceViews views = views_of([this] {
    set("FailSetConfiguration", 5);
    load();
    EXPECT_TRUE(ATI_enable_clone_mode());
  });
  const std::vector<std::string> texts = {"Current display configuration:",
                                          "  Controller 0 monitor bit vector: 0x00000001",
                                          "  Controller 1 monitor bit vector: 0x00000000",
                                          "Unable to select clone mode configuration",
                                          "New display configuration:",
                                          "  Controller 0 monitor bit vector: 0x00000001",
                                          "  Controller 1 monitor bit vector: 0x00000000",
                                          ">> get_Windows_to_update_desktop_settings",
                                          "<< get_Windows_to_update_desktop_settings",
                                          "<< ATI_enable_clone_mode"};
  EXPECT_EQ(from(views.level_two, texts.front()), texts);
  EXPECT_EQ(from(views.level_one, texts.front()), without_entry_and_exit(texts));
  EXPECT_THAT(stand_in_calls(), ::testing::Contains("SetConfiguration 0 8 0x00000001 0x00000002 -> 5"));
}

TEST_F(AtiLibrary, AFailedFirstReadSelectsNothing) {
  set("FailGetConfiguration", 3);
  load();
  TraceCapture capture;
  EXPECT_EQ(text_error([] { ATI_enable_clone_mode(); }),
            "Unable to determine the current monitor configuration");
  EXPECT_EQ(count_starting_with(stand_in_calls(), "SetConfiguration"), 0);
  EXPECT_TRUE(fake->mode_queries.empty());
  EXPECT_FALSE(capture.has("Current display configuration:"));
}

TEST_F(AtiLibrary, AFailedSecondReadSkipsTheModeWalk) {
  set("FailGetConfiguration", 3);
  set("FailAfterGetConfiguration", 1);
  load();
  TraceCapture capture;
  EXPECT_EQ(text_error([] { ATI_enable_clone_mode(); }),
            "Unable to determine the current monitor configuration");
  EXPECT_THAT(from(stand_in_calls(), "GetConfiguration 0 8 -> 0 0x00000001 0x00000000"),
              ElementsAre("GetConfiguration 0 8 -> 0 0x00000001 0x00000000",
                          "SetConfiguration 0 8 0x00000001 0x00000002 -> 0", "GetConfiguration 0 8 -> 3"));
  EXPECT_TRUE(fake->mode_queries.empty());
  EXPECT_FALSE(capture.has("New display configuration:"));
  EXPECT_FALSE(capture.has("<< ATI_enable_clone_mode"));
}

TEST_F(AtiLibrary, AWeAreDoneEndingLeavesTheConfigurationAloneButDetachedDisplaysDetached) {
  fake->devices = {kAtiPrimary, kTelvane, kSecondary};
  set("ConnectedDisplays", 1);
  load();
  TraceCapture capture;
  EXPECT_EQ(text_error([] { ATI_enable_clone_mode(); }), "Local diagnostic adapter connected, we're done");
  EXPECT_EQ(count_starting_with(stand_in_calls(), "GetConfiguration"), 0);
  EXPECT_EQ(count_starting_with(stand_in_calls(), "SetConfiguration"), 0);
  EXPECT_THAT(fake->detached_devices(), ElementsAre(kSecondary.name));
  EXPECT_TRUE(fake->mode_queries.empty());
}

}  // namespace
