// The service module against the firmware stand-in: the real WMI layer and
// the real hot-plug watcher, with the ATI library binding and the desktops
// replaced. Adapter events travel from the firmware through the watcher and
// the control-request entry to the policy on the service thread.
#include <gtest/gtest.h>

#include "service/main.h"
#include "sim/wmi_firmware/firmware_state.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"
#include "wmi/Tnotify.h"

namespace {

using Lines = std::vector<std::string>;

const DWORD kTimeoutMs = 10000;

wmisim::FirmwareState& firmware() { return wmisim::firmware_state(); }

std::vector<std::string> entry_texts(const FakeWin32& win32) {
  std::vector<std::string> texts;
  for (const RecordedEvent& event : win32.events()) texts.push_back(event.text);
  return texts;
}

class FirmwareTest : public ::testing::Test {
 protected:
  FirmwareTest() {
    firmware().reset();
    // The firmware, the watcher and the pauses are the real ones here.
    const ModuleCalls real;
    ModuleCalls& calls = module_calls();
    calls.WMI_read_property = real.WMI_read_property;
    calls.WMI_write_property = real.WMI_write_property;
    calls.create_watcher = real.create_watcher;
    calls.Sleep = real.Sleep;
    xvVistrell = &module;
  }
  ~FirmwareTest() override {
    xvVistrell = nullptr;
    EXPECT_EQ(firmware().subscriptions(), 0);
    firmware().reset();
  }

  // Lets a watcher that still waits end: the next event ends its loop.
  void release_watcher() {
    if (!module.notify || module.notify->Finished()) return;
    ASSERT_TRUE(firmware().wait_for_subscription(kTimeoutMs));
    firmware().raise_event(wmisim::text_value(L"Absent"));
    EXPECT_TRUE(eventually([this] { return module.notify->Finished(); }));
  }

  FakeWin32 win32;
  FakeNeighbours fakes;
  TxvVistrell module{nullptr};
};

TEST_F(FirmwareTest, AttachedEventRunsThePolicyWhichSetsRdpAndTheLocalResolution) {
  const bool ended = run_service(module, [this] {
    ASSERT_TRUE(eventually([this] { return fakes.count("ATI clone") == 1; }));
    ASSERT_TRUE(firmware().wait_for_subscription(kTimeoutMs));
    firmware().set_sensors({wmisim::text_value(L"Present")});
    EXPECT_EQ(firmware().raise_event(wmisim::text_value(L"Present")), 1);
    EXPECT_TRUE(eventually([this] { return fakes.count("change 1024x768 on input") == 1; }));
    EXPECT_EQ(firmware().setting().text, L"RDP");
    ServiceController(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
  });
  EXPECT_TRUE(ended);
  // The stop asked the watcher to end without waiting for it.
  ASSERT_NE(module.notify, nullptr);
  EXPECT_TRUE(module.notify->Terminated());
  EXPECT_FALSE(module.notify->Finished());
  release_watcher();

  EXPECT_EQ(entry_texts(win32), (Lines{"Started XV Vistrell", "Stopped XV Vistrell"}));
  EXPECT_EQ(fakes.journal(),
            (Lines{"ATI load", "ATI clone", "desktop get", "desktop open", "desktop set input",
                   "change 1024x768 on input", "desktop set own", "desktop close input", "ATI free"}));
}

TEST_F(FirmwareTest, StopAfterTheWatcherEndedOnItsOwnReleasesTheLibraryAndLogsStopped) {
  wmisim::Fault fault;
  fault.times = -1;
  firmware().set_fault(wmisim::Step::notification_query, fault);
  bool started = true;
  module.ServiceStart(&module, started);
  ASSERT_TRUE(started);
  ASSERT_NE(module.notify, nullptr);
  ASSERT_TRUE(eventually([this] { return module.notify->Finished(); }));

  bool stopped = false;
  module.ServiceStop(&module, stopped);
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(module.notify->Terminated());
  EXPECT_EQ(module.notify.use_count(), 1);
  EXPECT_EQ(fakes.journal(), (Lines{"ATI load", "ATI free"}));
  EXPECT_EQ(entry_texts(win32), (Lines{"Started XV Vistrell", "Stopped XV Vistrell"}));
}

// The firmware cannot be reached: the sensor read fails, which the policy
// logs and takes as an attached adapter.
TEST_F(FirmwareTest, UnreachableSensorIsLoggedAndCountsAsAttached) {
  wmisim::Fault fault;
  fault.times = 1;
  firmware().set_fault(wmisim::Step::connect, fault);
  fakes.library_loaded = true;
  module.enable_clone_mode();
  const std::vector<RecordedEvent> events = win32.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_FALSE(events[0].text.empty());
  EXPECT_EQ(firmware().setting().text, L"RDP");
  EXPECT_EQ(fakes.count("change 1024x768 on input"), 1);
}

}  // namespace
