// The module with the real ATI library binding, against the stand-in library
// in the prefix's system directory; the firmware, the watcher and the display
// set are replaced. A stop that fails because the system will not release
// the library leaves the service running with the library's functions gone:
// the next policy run must end with the binding's "not loaded" error instead
// of calling into the cleared table.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <iterator>

#include "common/errors.h"
#include "display/atidll.h"
#include "service/main.h"
#include "service/module_calls.h"
#include "sim/ati/ati_state.h"
#include "tests/display/fake_display.h"
#include "tests/display/stand_in.h"
#include "tests/display/trace_capture.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"
#include "tests/service/trace_lines.h"

namespace {

using Lines = std::vector<std::string>;

const FakeDevice kAtiPrimary = {
    "\\\\.\\DISPLAY1", "ATI RADEON X300", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE,
    "PCI\\VEN_1002&DEV_5B60", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ati2mtag\\Device0"};
const FakeDevice kTelvane = {"\\\\.\\DISPLAY2", "XV Telvane Driver",
                             DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_MIRRORING_DRIVER, "",
                             "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tlvdd\\Device0"};

void request(DWORD code) { ServiceController(code, 0, nullptr, nullptr); }

class RefusedStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_stand_in(own_stand_in_build());
    ati_stand_in::reset_state();
    ModuleCalls& calls = module_calls();
    calls.ATI_load_display_interface_functions = ::ATI_load_display_interface_functions;
    calls.ATI_free_display_interface_functions = ::ATI_free_display_interface_functions;
    calls.ATI_enable_clone_mode = ::ATI_enable_clone_mode;
    display->devices = {kAtiPrimary, kTelvane};
    xvVistrell = &module;
  }
  void TearDown() override {
    xvVistrell = nullptr;
    // A fresh load replaces a stale handle, so the release works again.
    if (ATI_library_handle() != nullptr) {
      ATI_load_display_interface_functions();
      ATI_free_display_interface_functions();
    }
  }

  FakeWin32 win32;
  FakeNeighbours fakes;       // puts the real module calls back last
  ScopedFakeDisplay display;  // on top of the fakes' display calls
  TxvVistrell module{nullptr};
  TraceCapture capture;
};

TEST_F(RefusedStopTest, AdapterCodeAfterAStopWhoseReleaseFailedIsServedAndTheServiceAnswers) {
  const bool ended = run_service(module, [this] {
    // Past its one poll the first policy run serves no more requests, so
    // once this one is answered the run is over and the library idle.
    ASSERT_TRUE(eventually([this] { return fakes.count("pause 100") == 1; }));
    request(SERVICE_CONTROL_INTERROGATE);
    ASSERT_TRUE(win32.wait_for_state(SERVICE_RUNNING, 2));
    ASSERT_TRUE(FreeLibrary(ATI_library_handle()));  // gone behind the table's back
    request(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(win32.wait_for_state(SERVICE_RUNNING, 3));
    request(CONTROL_ADAPTER_DETACHED);
    // Its read-back is the run's last firmware call: the interrogation is
    // served after the switch was attempted.
    ASSERT_TRUE(eventually([this] { return fakes.count("read protocol TLV") == 2; }));
    request(SERVICE_CONTROL_INTERROGATE);
    ASSERT_TRUE(win32.wait_for_state(SERVICE_RUNNING, 4));
    request(SERVICE_CONTROL_SHUTDOWN);  // a second stop would fail the same way
  });
  EXPECT_TRUE(ended);
  EXPECT_EQ(win32.status_lines(),
            (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 4 cp 0", "status 3 cp 0",
                   "status 4 cp 0", "status 4 cp 0", "status 3 cp 0", "status 1 cp 0"}));
  const std::vector<RecordedEvent> events = win32.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text, "Started XV Vistrell");
  EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
  // The system's reason, as another release of the stale handle gives it.
  ASSERT_FALSE(FreeLibrary(ATI_library_handle()));
  const DWORD reason = GetLastError();
  EXPECT_NE(reason, 0u);
  EXPECT_EQ(events[1].text, "Service failed on stop: " + os_error_message(reason));

  // The control-request entry traces on the requesting thread: its lines
  // may fall anywhere among the service thread's.
  Lines lines = trace_lines(capture);
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.find(" ServiceController") == 2; }),
              lines.end());
  const auto adapter_run = std::find(lines.begin(), lines.end(), "@ Diagnostic adapter detached");
  const auto enable = std::find(adapter_run, lines.end(), ">> ATI_enable_clone_mode");
  ASSERT_GE(std::distance(enable, lines.end()), 4);
  EXPECT_EQ(Lines(enable, enable + 4),
            (Lines{">> ATI_enable_clone_mode",
                   "Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode",
                   "<< enable_clone_mode", "<< DoCustomControl"}));
}

}  // namespace
