// The display policy and the session handling of the service module, with the
// firmware, the ATI display library binding and the resolution and desktop
// calls replaced: every branch, message, order and release of Parts of the
// module that decide what the display looks like. A case that checks what it
// writes runs twice, so the lines are compared as "-d" and as "-t" write them.
#include <gtest/gtest.h>

#include <cstring>

#include "common/errors.h"
#include "service/main.h"
#include "tests/common/row_name.h"
#include "tests/display/trace_capture.h"
#include "tests/display/trace_views.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"
#include "tests/service/module_views.h"

namespace {

using Lines = std::vector<std::string>;

Lines join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Lines kProtocolRead = {">> remote_session_protocol", "<< remote_session_protocol"};
const Lines kDongleRead = {">> is_dongle_attached", "<< is_dongle_attached"};

// set_session_protocol whose first read-back matches.
Lines protocol_set_at_once(const std::string& value) {
  return join({{">> set_session_protocol", "@ Set session protocol to " + value},
               kProtocolRead,
               {"<< set_session_protocol"}});
}

// The clone-mode path of a policy run that ends normally.
Lines clone_mode_run() {
  return join({{">> enable_clone_mode"}, kDongleRead, protocol_set_at_once("TLV"), {"<< enable_clone_mode"}});
}

const Lines kLocalResolution = {">> set_resolution", "@ Changed resolution to 1024x768", "<< set_resolution"};
const Lines kInputDesktopRound = {"desktop get",       "desktop open",
                                  "desktop set input", "change 1024x768 on input",
                                  "desktop set own",   "desktop close input"};

class PolicyTest : public ::testing::Test {
 protected:
  void SetUp() override { prepare(fakes); }
  // What every case starts from.
  static void prepare(FakeNeighbours& neighbours) { neighbours.library_loaded = true; }
  void run_case(const ModuleCase& run) { views = module_trace_views(fakes, module, prepare, run); }
  Lines lines() const { return capture->lines(); }
  void expect_desktops_restored() {
    EXPECT_EQ(fakes.thread_desktop, FakeNeighbours::own_desktop());
    EXPECT_EQ(fakes.desktops_open, 0);
  }

  FakeWin32 win32;
  FakeNeighbours fakes;
  TxvVistrell module{nullptr};
  std::unique_ptr<TraceCapture> capture = std::make_unique<TraceCapture>();
  TraceViews views;
};

TEST_F(PolicyTest, LoggedInUserChangesNothingAndTheFirmwareIsNotAsked) {
  run_case([](FakeNeighbours&, TxvVistrell& m) {
    m.user_logged_in = true;
    m.enable_clone_mode();
  });
  expect_views(views, {">> enable_clone_mode", "@ A user is logged in, so nothing was changed",
                       "<< enable_clone_mode"});
  EXPECT_TRUE(fakes.journal().empty());
}

TEST_F(PolicyTest, AttachedAdapterSetsRdpThenTheLocalResolution) {
  run_case([](FakeNeighbours& f, TxvVistrell& m) {
    f.sensor = "Present";
    f.protocol = "TLV";
    m.enable_clone_mode();
  });
  expect_views(views, join({{">> enable_clone_mode"},
                            kDongleRead,
                            {"@ Cannot enable clone mode because local diagnostics adapter is connected"},
                            protocol_set_at_once("RDP"),
                            kLocalResolution,
                            {"<< enable_clone_mode"}}));
  EXPECT_EQ(fakes.journal(),
            join({{"read sensor", "write RDP", "pause 100", "read protocol RDP"}, kInputDesktopRound}));
  expect_desktops_restored();
  EXPECT_TRUE(win32.events().empty());
}

// Only the exact text "Present" means attached: anything else, also the
// joined values of two sensors and no sensor at all, leads to clone mode.
class SensorTextTest : public PolicyTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SensorTextTest, EveryTextButPresentTakesTheCloneModePath) {
  run_case([](FakeNeighbours& f, TxvVistrell& m) {
    f.sensor = SensorTextTest::GetParam();
    m.enable_clone_mode();
  });
  expect_views(views, clone_mode_run());
  EXPECT_EQ(fakes.journal(),
            (Lines{"read sensor", "write TLV", "pause 100", "read protocol TLV", "ATI clone"}));
  EXPECT_TRUE(fakes.mode_changes.empty());
}

INSTANTIATE_TEST_SUITE_P(NotPresent, SensorTextTest,
                         ::testing::Values("present", "Absent", "", "PresentPresent", "Present "),
                         [](const ::testing::TestParamInfo<const char*>& row) {
                           return row_name(row.param);
                         });

TEST_F(PolicyTest, UnreachableFirmwareLogsAnErrorAndCountsTheAdapterAsAttached) {
  run_case([](FakeNeighbours& f, TxvVistrell& m) {
    f.sensor_error = "Unable to connect to WMI namespace";
    m.enable_clone_mode();
  });
  expect_views(views, join({{">> enable_clone_mode", ">> is_dongle_attached",
                             "Unable to connect to WMI namespace", "<< is_dongle_attached",
                             "@ Cannot enable clone mode because local diagnostics adapter is connected"},
                            protocol_set_at_once("RDP"),
                            kLocalResolution,
                            {"<< enable_clone_mode"}}));
  const std::vector<RecordedEvent> events = win32.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "xvVistrell");
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].id, 0u);
  EXPECT_EQ(events[0].string_count, 1);
  EXPECT_EQ(events[0].text, "Unable to connect to WMI namespace");
}

TEST_F(PolicyTest, IsDongleAttachedGivesTheDefaultOnlyWhenTheFirmwareFails) {
  fakes.sensor_error = "failed";
  EXPECT_TRUE(module.is_dongle_attached(true));
  EXPECT_FALSE(module.is_dongle_attached(false));
  fakes.sensor_error.clear();
  fakes.sensor = "Absent";
  EXPECT_FALSE(module.is_dongle_attached(true));
  fakes.sensor = "Present";
  EXPECT_TRUE(module.is_dongle_attached(false));
}

// "we're done" outcomes of the display side end the run as plain messages,
// after the session protocol was set.
TEST_F(PolicyTest, RdpConnectionEndsTheRunAfterTheProtocolWasSetToTlv) {
  run_case([](FakeNeighbours& f, TxvVistrell& m) {
    f.clone_text_error = "Connected via RDP, we're done";
    m.enable_clone_mode();
  });
  expect_views(views, join({{">> enable_clone_mode"},
                            kDongleRead,
                            protocol_set_at_once("TLV"),
                            {"Connected via RDP, we're done", "<< enable_clone_mode"}}));
  EXPECT_EQ(fakes.journal(),
            (Lines{"read sensor", "write TLV", "pause 100", "read protocol TLV", "ATI clone"}));
}

TEST_F(PolicyTest, ErrorsOtherThanTextErrorsLeaveThePolicyWithoutItsExitLine) {
  fakes.clone_exception = "System Error.  Code: 5.";
  EXPECT_THROW(module.enable_clone_mode(), Exception);
  EXPECT_EQ(lines().back(), "<< set_session_protocol");
}

TEST_F(PolicyTest, FailedWriteIsTracedAndThePolicyGoesOn) {
  run_case([](FakeNeighbours& f, TxvVistrell& m) {
    f.write_error = "Unable to execute WMI method";
    m.enable_clone_mode();
  });
  expect_views(views,
               join({{">> enable_clone_mode"},
                     kDongleRead,
                     {">> set_session_protocol", "@ Set session protocol to TLV",
                      "Unable to execute WMI method", "<< set_session_protocol", "<< enable_clone_mode"}}));
  EXPECT_EQ(fakes.journal(), (Lines{"read sensor", "write TLV", "ATI clone"}));
}

// The resolution change: skipped when the virtual screen has the size
// already; otherwise done from the input desktop, and the outcome of
// ChangeDisplaySettingsA decides the message.
struct ResolutionCase {
  const char* name;
  int screen_width, screen_height;
  LONG result;
  Lines messages;
};

void PrintTo(const ResolutionCase& row, std::ostream* out) { *out << row.name; }

class ResolutionTest : public PolicyTest, public ::testing::WithParamInterface<ResolutionCase> {};

TEST_P(ResolutionTest, MessageAndDesktopRound) {
  const ResolutionCase& row = GetParam();
  run_case([&row](FakeNeighbours& f, TxvVistrell& m) {
    f.screen_width = row.screen_width;
    f.screen_height = row.screen_height;
    f.change_result = row.result;
    m.set_resolution(1024, 768);
  });
  expect_views(views, join({{">> set_resolution"}, row.messages, {"<< set_resolution"}}));
  EXPECT_EQ(fakes.journal(), row.messages.empty() ? Lines{} : kInputDesktopRound);
  expect_desktops_restored();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ResolutionTest,
    ::testing::Values(
        ResolutionCase{"AlreadyThere", 1024, 768, 0, {}},
        ResolutionCase{"WidthDiffers", 2048, 768, 0, {"@ Changed resolution to 1024x768"}},
        ResolutionCase{"HeightDiffers", 1024, 600, 0, {"@ Changed resolution to 1024x768"}},
        ResolutionCase{
            "NotUpdated", 1280, 1024, DISP_CHANGE_NOTUPDATED, {"@ Changed resolution to 1024x768"}},
        ResolutionCase{"RestartNeeded",
                       1280,
                       1024,
                       DISP_CHANGE_RESTART,
                       {"Unable to change resolution to 1024x768 (0x00000001)"}},
        ResolutionCase{"Failed",
                       1280,
                       1024,
                       DISP_CHANGE_FAILED,
                       {"Unable to change resolution to 1024x768 (0xFFFFFFFF)"}},
        ResolutionCase{"BadMode",
                       1280,
                       1024,
                       DISP_CHANGE_BADMODE,
                       {"Unable to change resolution to 1024x768 (0xFFFFFFFE)"}}),
    [](const ::testing::TestParamInfo<ResolutionCase>& row) { return std::string(row.param.name); });

TEST_F(PolicyTest, ModeRecordHoldsOnlyTheSizeAndTheTwoPixelFields) {
  module.set_resolution(1600, 1200);
  ASSERT_EQ(fakes.mode_changes.size(), 1u);
  DEVMODEA expected;
  std::memset(&expected, 0, sizeof expected);
  expected.dmSize = 156;
  expected.dmPelsWidth = 1600;
  expected.dmPelsHeight = 1200;
  expected.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
  EXPECT_EQ(std::memcmp(&fakes.mode_changes[0].mode, &expected, sizeof expected), 0);
  EXPECT_EQ(fakes.mode_changes[0].flags, 0u);
  ASSERT_EQ(fakes.open_calls.size(), 1u);
  EXPECT_EQ(fakes.open_calls[0].flags, 0u);
  EXPECT_EQ(fakes.open_calls[0].inherit, FALSE);
  EXPECT_EQ(fakes.open_calls[0].access, static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED));
  EXPECT_EQ(fakes.desktop_thread_ids, std::vector<DWORD>{GetCurrentThreadId()});
  EXPECT_EQ(lines()[1], "@ Changed resolution to 1600x1200");
}

// Whatever fails on the way to the input desktop, the thread ends on its own
// desktop and an opened input desktop is closed, after the thread has left it.
struct DesktopFailure {
  const char* name;
  void (*arrange)(FakeNeighbours&);
  std::string message;
  Lines journal;
};

void PrintTo(const DesktopFailure& row, std::ostream* out) { *out << row.name; }

class DesktopFailureTest : public PolicyTest, public ::testing::WithParamInterface<DesktopFailure> {};

TEST_P(DesktopFailureTest, MessageAndTheDesktopsPutBack) {
  const DesktopFailure& row = GetParam();
  run_case([&row](FakeNeighbours& f, TxvVistrell& m) {
    row.arrange(f);
    m.set_resolution(1024, 768);
  });
  expect_views(views, {">> set_resolution", row.message, "<< set_resolution"});
  EXPECT_EQ(fakes.journal(), row.journal);
  expect_desktops_restored();
  EXPECT_TRUE(fakes.mode_changes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DesktopFailureTest,
    ::testing::Values(DesktopFailure{"NoThreadDesktop",
                                     [](FakeNeighbours& f) { f.no_thread_desktop = true; },
                                     "Unable to get desktop for current thread",
                                     {"desktop get"}},
                      DesktopFailure{"NoInputDesktop",
                                     [](FakeNeighbours& f) { f.input_desktop_fails = true; },
                                     "Unable to get desktop where input is coming from",
                                     {"desktop get", "desktop open", "desktop set own"}},
                      DesktopFailure{
                          "NoSwitch",
                          [](FakeNeighbours& f) { f.switch_fails = true; },
                          "Unable to change desktop of current thread to desktop where input is coming from",
                          {"desktop get", "desktop open", "desktop set input", "desktop set own",
                           "desktop close input"}}),
    [](const ::testing::TestParamInfo<DesktopFailure>& row) { return std::string(row.param.name); });

TEST_F(PolicyTest, FailedInputDesktopStillEndsResolutionAndPolicyWithTheirExitLines) {
  fakes.sensor = "Present";
  fakes.input_desktop_fails = true;
  module.enable_clone_mode();
  const Lines all = lines();
  const Lines tail(all.end() - 4, all.end());
  EXPECT_EQ(tail, (Lines{">> set_resolution", "Unable to get desktop where input is coming from",
                         "<< set_resolution", "<< enable_clone_mode"}));
  expect_desktops_restored();
}

// The session-change table: message, flag and policy run for every event type.
struct SessionRow {
  DWORD event_type;
  const char* message;
  bool logged_in_before;
  bool logged_in_after;
  bool runs_policy;
};

void PrintTo(const SessionRow& row, std::ostream* out) {
  *out << "event " << row.event_type << (row.logged_in_before ? " logged in" : " nobody logged in");
}

class SessionChangeTest : public PolicyTest, public ::testing::WithParamInterface<SessionRow> {};

TEST_P(SessionChangeTest, MessageFlagAndPolicyRun) {
  const SessionRow& row = GetParam();
  run_case([&row](FakeNeighbours& f, TxvVistrell& m) {
    f.protocol = "RDP";
    m.user_logged_in = row.logged_in_before;
    // Through the slot the constructor installed, as the runtime calls it.
    ASSERT_TRUE(m.OnSessionChange);
    m.OnSessionChange(&m, row.event_type);
  });
  EXPECT_EQ(module.user_logged_in, row.logged_in_after);
  const std::string new_protocol = row.runs_policy ? "TLV" : "RDP";
  expect_views(views, join({{">> ServiceSessionChange"},
                            kProtocolRead,
                            {"@ Current session protocol is RDP"},
                            {std::string("@ ") + row.message},
                            row.runs_policy ? clone_mode_run() : Lines{},
                            kProtocolRead,
                            {"@ \"New\" session protocol is " + new_protocol},
                            {"<< ServiceSessionChange"}}));
}

INSTANTIATE_TEST_SUITE_P(Events, SessionChangeTest,
                         ::testing::Values(SessionRow{1, "Console Connect", false, true, false},
                                           SessionRow{2, "Console Disconnect", true, false, true},
                                           SessionRow{3, "Remote Connect", false, true, false},
                                           SessionRow{4, "Remote Disconnect", true, false, true},
                                           SessionRow{5, "Session Logon", false, true, false},
                                           SessionRow{6, "Session Logoff", true, false, true},
                                           SessionRow{7, "Session Lock", true, false, true},
                                           SessionRow{8, "Session unlock", false, true, false},
                                           SessionRow{9, "Remote Control", true, true, false},
                                           SessionRow{9, "Remote Control", false, false, false},
                                           SessionRow{0, "Unknown SessionChange", true, true, false},
                                           SessionRow{10, "Unknown SessionChange", false, false, false},
                                           SessionRow{0xFFFFFFFF, "Unknown SessionChange", true, true,
                                                      false}),
                         [](const ::testing::TestParamInfo<SessionRow>& row) {
                           return "Event" + std::to_string(row.param.event_type) +
                                  (row.param.logged_in_before ? "LoggedIn" : "NobodyLoggedIn");
                         });

TEST_F(PolicyTest, UnlockAfterLockKeepsTheNextAdapterEventFromChangingAnything) {
  module.ServiceSessionChange(&module, WTS_SESSION_LOCK);
  EXPECT_FALSE(module.user_logged_in);
  module.ServiceSessionChange(&module, WTS_SESSION_UNLOCK);
  EXPECT_TRUE(module.user_logged_in);
  const TraceCapture adapter_event;
  EXPECT_TRUE(module.DoCustomControl(CONTROL_ADAPTER_ATTACHED, 0));
  EXPECT_EQ(
      adapter_event.lines(),
      (Lines{">> DoCustomControl", "@ Diagnostic adapter attached", ">> enable_clone_mode",
             "@ A user is logged in, so nothing was changed", "<< enable_clone_mode", "<< DoCustomControl"}));
}

TEST_F(PolicyTest, UnreadableProtocolShowsAnEmptyValueAndTheError) {
  run_case([](FakeNeighbours& f, TxvVistrell& m) {
    f.protocol_error = "Unable to connect to WMI namespace";
    m.ServiceSessionChange(&m, WTS_SESSION_REMOTE_CONTROL);
  });
  expect_views(views,
               {">> ServiceSessionChange", ">> remote_session_protocol", "Unable to connect to WMI namespace",
                "<< remote_session_protocol", "@ Current session protocol is ", "@ Remote Control",
                ">> remote_session_protocol", "Unable to connect to WMI namespace",
                "<< remote_session_protocol", "@ \"New\" session protocol is ", "<< ServiceSessionChange"});
  EXPECT_EQ(module.remote_session_protocol(), "");
}

// The read-back polls of set_session_protocol.
struct PollCase {
  const char* name;
  int applied_at_read;  // 0: never
  const char* applied_as;
  const char* read_error;
  int polls;
  int expected_pauses;
  bool timed_out;
};

void PrintTo(const PollCase& row, std::ostream* out) { *out << row.name; }

class PollTest : public PolicyTest, public ::testing::WithParamInterface<PollCase> {
 protected:
  static void set_protocol(FakeNeighbours& f, TxvVistrell& m) {
    const PollCase& row = GetParam();
    f.protocol = "RDP";
    f.applied_at_read = row.applied_at_read;
    f.applied_as = row.applied_as;
    f.protocol_error = row.read_error;
    m.set_session_protocol("TLV", row.polls);
  }
  static Lines expected_trace() {
    const PollCase& row = GetParam();
    Lines expected = {">> set_session_protocol", "@ Set session protocol to TLV"};
    for (int poll = 1; poll <= row.expected_pauses; ++poll) {
      expected.push_back(">> remote_session_protocol");
      if (*row.read_error) expected.push_back(row.read_error);
      expected.push_back("<< remote_session_protocol");
    }
    if (row.timed_out) expected.push_back("Timed out waiting for session protocol to be set");
    expected.push_back("<< set_session_protocol");
    return expected;
  }
};

TEST_P(PollTest, PausesReadsAndTimeOut) {
  const PollCase& row = GetParam();
  run_case(set_protocol);
  Lines expected_journal = {"write TLV"};
  for (int poll = 1; poll <= row.expected_pauses; ++poll) {
    const bool applied = row.applied_at_read > 0 && poll >= row.applied_at_read;
    const std::string value = applied ? (*row.applied_as ? row.applied_as : "TLV") : "RDP";
    expected_journal.push_back("pause 100");
    expected_journal.push_back("read protocol " + value);
  }
  expect_views(views, expected_trace());
  EXPECT_EQ(fakes.journal(), expected_journal);
}

INSTANTIATE_TEST_SUITE_P(
    ReadBacks, PollTest,
    ::testing::Values(
        PollCase{"First", 1, "", "", 20, 1, false}, PollCase{"Twentieth", 20, "", "", 20, 20, false},
        PollCase{"Never", 0, "", "", 20, 20, true}, PollCase{"OtherLetterCase", 1, "tlv", "", 20, 20, true},
        PollCase{"ReadErrorEachPoll", 1, "", "Unable to execute WQL query", 20, 20, true},
        PollCase{"NoPolls", 1, "", "", 0, 0, false}, PollCase{"NegativePolls", 1, "", "", -3, 0, false},
        PollCase{"OnePollNever", 0, "", "", 1, 1, true}),
    [](const ::testing::TestParamInfo<PollCase>& row) { return std::string(row.param.name); });

}  // namespace
