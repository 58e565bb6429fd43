// The lifecycle handlers of the service module with its neighbours replaced:
// the start (version check, ATI library, watcher), the stop, the custom
// codes, and whole runs on a real service thread with its message queue,
// including a stop served inside the wait for the firmware. A handler's lines
// are compared as "-d" and as "-t" write them.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "common/errors.h"
#include "service/main.h"
#include "tests/display/trace_capture.h"
#include "tests/display/trace_views.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"
#include "tests/service/module_views.h"
#include "trace/trace_log.h"

namespace {

using Lines = std::vector<std::string>;

struct Entry {
  WORD type;
  std::string text;
  bool operator==(const Entry& other) const { return type == other.type && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Entry& entry) {
  return out << "{" << entry.type << ", \"" << entry.text << "\"}";
}

// The start's lines up to the version block.
const Lines kStartHead = {">> ServiceStart", ">> process_command_line_arguments",
                          "<< process_command_line_arguments"};
const char kVersionBlock[] =
    "@ Windows:\n  Major version: 6\n  Minor version: 1\n  Build: 7601\n  CSD version: Service Pack 1";

Lines join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Position of the n-th (from 1) entry equal to text; -1 when there is none.
int position(const Lines& lines, const std::string& text, int nth = 1) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == text && --nth == 0) return static_cast<int>(i);
  return -1;
}

class HandlersTest : public ::testing::Test {
 protected:
  ~HandlersTest() override {
    // A held watcher never waited: told to end, it ends as soon as it runs.
    if (fakes.watcher) {
      fakes.watcher->Terminate();
      fakes.watcher->Resume();
    }
  }
  Lines lines() const { return capture->lines(); }
  // Runs the case on both views (module_trace_views); prepare, when set,
  // arranges the neighbours of both runs.
  void run_case(const ModuleCase& run) {
    if (prepare) prepare(fakes);
    views = module_trace_views(fakes, module, prepare, run);
  }
  // Gives the module a watcher, as a start does; created suspended, so it
  // never waits for the firmware.
  void hold_watcher() {
    fakes.watcher = TNotify::Create(true, ServiceController);
    module.notify = fakes.watcher;
  }
  std::vector<Entry> entries() const {
    std::vector<Entry> all;
    for (const RecordedEvent& event : win32.events()) {
      EXPECT_EQ(event.source, "xvVistrell");
      EXPECT_EQ(event.category, 0);
      EXPECT_EQ(event.id, 0u);
      EXPECT_EQ(event.string_count, 1);
      all.push_back({event.type, event.text});
    }
    return all;
  }
  bool start() { return start(module); }
  static bool start(TxvVistrell& m) {
    bool started = true;
    m.ServiceStart(&m, started);
    return started;
  }

  FakeWin32 win32;
  FakeNeighbours fakes;
  TxvVistrell module{nullptr};
  std::unique_ptr<TraceCapture> capture = std::make_unique<TraceCapture>();
  std::function<void(FakeNeighbours&)> prepare;
  TraceViews views;
};

// Windows XP (5.1) and later start; older versions are refused before the
// ATI library or the watcher is touched.
struct VersionCase {
  DWORD major, minor;
  bool starts;
};

void PrintTo(const VersionCase& row, std::ostream* out) {
  *out << "Windows " << row.major << "." << row.minor;
}

class StartVersionTest : public HandlersTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(StartVersionTest, VersionCheck) {
  const VersionCase& row = GetParam();
  const std::string block = "@ Windows:\n  Major version: " + std::to_string(row.major) +
                            "\n  Minor version: " + std::to_string(row.minor) +
                            "\n  Build: 2195\n  CSD version: ";
  prepare = [&row](FakeNeighbours& f) { f.set_version(row.major, row.minor, 2195, ""); };
  run_case([&row](FakeNeighbours&, TxvVistrell& m) { EXPECT_EQ(start(m), row.starts); });
  if (row.starts) {
    expect_views(views, join({kStartHead, {block, "@ Started XV Vistrell", "<< ServiceStart"}}));
    EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_INFORMATION_TYPE, "Started XV Vistrell"}}));
    EXPECT_EQ(fakes.journal(), (Lines{"ATI load", "create watcher running"}));
    EXPECT_EQ(fakes.watcher_entry, &ServiceController);
  } else {
    expect_views(views, join({kStartHead, {block, "Windows XP or later required", "<< ServiceStart"}}));
    EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_ERROR_TYPE, "Windows XP or later required"}}));
    EXPECT_TRUE(fakes.journal().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, StartVersionTest,
                         ::testing::Values(VersionCase{4, 10, false}, VersionCase{5, 0, false},
                                           VersionCase{5, 1, true}, VersionCase{5, 2, true},
                                           VersionCase{6, 0, true}, VersionCase{6, 1, true},
                                           VersionCase{10, 0, true}),
                         [](const ::testing::TestParamInfo<VersionCase>& row) {
                           return "Windows" + std::to_string(row.param.major) + "_" +
                                  std::to_string(row.param.minor);
                         });

TEST_F(HandlersTest, VersionBlockCarriesTheServicePackText) {
  EXPECT_TRUE(start());
  EXPECT_EQ(lines()[3], kVersionBlock);
}

TEST_F(HandlersTest, MissingLibraryIsLoggedAndLeavesTheWatcherUncreated) {
  prepare = [](FakeNeighbours& f) { f.load_text_error = "Unable to load ATI DLL"; };
  run_case([](FakeNeighbours&, TxvVistrell& m) { EXPECT_FALSE(start(m)); });
  expect_views(views, join({kStartHead, {kVersionBlock, "Unable to load ATI DLL", "<< ServiceStart"}}));
  EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_ERROR_TYPE, "Unable to load ATI DLL"}}));
  EXPECT_EQ(fakes.journal(), Lines{"ATI load"});
  EXPECT_EQ(module.notify, nullptr);
}

// The start parameters set the trace level between the two entry lines.
TEST_F(HandlersTest, StartParameterDLeavesOnlyMessages) {
  for (const char* parameter : {"-d", "/d"}) {
    SCOPED_TRACE(parameter);
    TraceCapture run;
    module.Params = {"xvVistrell", parameter};
    bool started = true;
    module.ServiceStart(&module, started);
    EXPECT_EQ(run.lines(), (Lines{">> ServiceStart", ">> process_command_line_arguments", kVersionBlock,
                                  "@ Started XV Vistrell"}));
    std::vector<std::string> back_to_all{"-t"};
    parse_trace_options(&back_to_all);
  }
}

void stop(FakeNeighbours&, TxvVistrell& m) {
  bool stopped = false;
  m.ServiceStop(&m, stopped);
  EXPECT_TRUE(stopped);
}

// The watcher is told to end before the library goes, so a release that
// fails cannot leave it running.
TEST_F(HandlersTest, StopTellsTheWatcherToEndThenReleasesTheLibraryAndLogsStopped) {
  hold_watcher();
  run_case(stop);
  expect_views(views, {">> ServiceStop", "@ Stopped XV Vistrell", "<< ServiceStop"});
  EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_INFORMATION_TYPE, "Stopped XV Vistrell"}}));
  EXPECT_EQ(fakes.journal(), Lines{"ATI free, watcher told to end"});
}

TEST_F(HandlersTest, TextErrorWhileStoppingIsLoggedAndTheStopGoesOn) {
  prepare = [](FakeNeighbours& f) { f.free_text_error = "Unable to free ATI DLL"; };
  run_case(stop);
  expect_views(views,
               {">> ServiceStop", "Unable to free ATI DLL", "@ Stopped XV Vistrell", "<< ServiceStop"});
  EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_ERROR_TYPE, "Unable to free ATI DLL"},
                                           {EVENTLOG_INFORMATION_TYPE, "Stopped XV Vistrell"}}));
}

TEST_F(HandlersTest, ExceptionWhileStoppingLeavesTheHandlerBeforeTheStopIsConfirmed) {
  hold_watcher();
  fakes.free_exception = "System Error.  Code: 6.";
  bool stopped = true;
  EXPECT_THROW(module.ServiceStop(&module, stopped), Exception);
  EXPECT_EQ(lines(), Lines{">> ServiceStop"});
  EXPECT_TRUE(win32.events().empty());
  EXPECT_EQ(fakes.journal(), Lines{"ATI free, watcher told to end"});
  EXPECT_TRUE(module.notify->Terminated());
}

struct AdapterCode {
  DWORD code;
  const char* message;
};

void PrintTo(const AdapterCode& row, std::ostream* out) { *out << "code " << row.code; }

class AdapterCodeTest : public HandlersTest, public ::testing::WithParamInterface<AdapterCode> {};

TEST_P(AdapterCodeTest, MessageThenThePolicy) {
  prepare = [](FakeNeighbours& f) { f.library_loaded = true; };
  run_case([](FakeNeighbours&, TxvVistrell& m) { EXPECT_TRUE(m.DoCustomControl(GetParam().code, 7)); });
  expect_views(views,
               {">> DoCustomControl", std::string("@ ") + GetParam().message, ">> enable_clone_mode",
                ">> is_dongle_attached", "<< is_dongle_attached", ">> set_session_protocol",
                "@ Set session protocol to TLV", ">> remote_session_protocol", "<< remote_session_protocol",
                "<< set_session_protocol", "<< enable_clone_mode", "<< DoCustomControl"});
  EXPECT_EQ(fakes.count("ATI clone"), 1);
}

INSTANTIATE_TEST_SUITE_P(Codes, AdapterCodeTest,
                         ::testing::Values(AdapterCode{1034, "Diagnostic adapter attached"},
                                           AdapterCode{1035, "Diagnostic adapter detached"}),
                         [](const ::testing::TestParamInfo<AdapterCode>& row) {
                           return "Code" + std::to_string(row.param.code);
                         });

TEST_F(HandlersTest, AnyOtherCustomCodeOnlyWritesEntryAndExit) {
  run_case([](FakeNeighbours&, TxvVistrell& m) { EXPECT_TRUE(m.DoCustomControl(200, 0)); });
  expect_views(views, {">> DoCustomControl", "<< DoCustomControl"});
  EXPECT_TRUE(fakes.journal().empty());
}

// Whole runs on a real service thread: the module's main function on a
// thread of its own, as the dispatcher calls it, and requests through the
// control-request entry.
class ServiceRunTest : public HandlersTest {
 protected:
  void SetUp() override { xvVistrell = &module; }
  void TearDown() override { xvVistrell = nullptr; }
  void run(const std::function<void()>& while_running = {}) {
    EXPECT_TRUE(run_service(module, while_running)) << "the service did not end";
  }
  static void request(DWORD code) { ServiceController(code, 0, nullptr, nullptr); }
  bool wait_for_entries(const std::string& entry, int count) {
    return eventually([this, &entry, count] { return fakes.count(entry) >= count; });
  }
};

TEST_F(ServiceRunTest, ThePolicyRunsOnceBeforeRequestsAndAgainForAnAdapterCode) {
  run([this] {
    ASSERT_TRUE(win32.wait_for_state(SERVICE_RUNNING));
    ASSERT_TRUE(wait_for_entries("ATI clone", 1));
    request(CONTROL_ADAPTER_DETACHED);
    ASSERT_TRUE(wait_for_entries("ATI clone", 2));
    request(SERVICE_CONTROL_STOP);
  });
  const Lines policy = {"read sensor", "write TLV", "pause 100", "read protocol TLV", "ATI clone"};
  EXPECT_EQ(fakes.journal(), join({{"ATI load", "create watcher running"}, policy, policy, {"ATI free"}}));
  EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_INFORMATION_TYPE, "Started XV Vistrell"},
                                           {EVENTLOG_INFORMATION_TYPE, "Stopped XV Vistrell"}}));
  EXPECT_EQ(win32.status_lines(),
            (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 3 cp 0", "status 1 cp 0"}));
  const Lines all = lines();
  EXPECT_LT(position(all, "<< ServiceStart"), position(all, ">> ServiceExecute"));
  EXPECT_LT(position(all, ">> ServiceExecute"), position(all, ">> enable_clone_mode"));
  EXPECT_LT(position(all, "<< enable_clone_mode"), position(all, "@ Diagnostic adapter detached"));
  EXPECT_LT(position(all, "@ Diagnostic adapter detached"), position(all, ">> enable_clone_mode", 2));
  EXPECT_LT(position(all, "<< ServiceStop"), position(all, "<< ServiceExecute"));
}

// Adapter events that arrive while the start is pending wait in the queue:
// once the service runs, they are served in the order they came.
TEST_F(ServiceRunTest, AdapterEventsDuringTheStartAreServedInOrderOnceTheServiceRuns) {
  fakes.on_load = [] {
    std::thread([] {
      request(CONTROL_ADAPTER_ATTACHED);
      request(CONTROL_ADAPTER_DETACHED);
    }).join();
  };
  run([this] {
    ASSERT_TRUE(wait_for_entries("ATI clone", 3));
    request(SERVICE_CONTROL_STOP);
  });
  const Lines all = lines();
  EXPECT_LT(position(all, "<< ServiceStart"), position(all, ">> ServiceExecute"));
  EXPECT_LT(position(all, ">> ServiceExecute"), position(all, "@ Diagnostic adapter attached"));
  EXPECT_LT(position(all, "@ Diagnostic adapter attached"), position(all, "@ Diagnostic adapter detached"));
  EXPECT_EQ(fakes.count("ATI clone"), 3);
}

// A stop queued from another thread while the policy waits for the firmware
// is served inside the wait; the polling runs on to its end and the rest of
// the run finds the library released. So it is after a long life: the
// requests served before (queued in the first pause, served in the second
// poll) count no more against the nesting bound once they have returned.
class StopDuringThePollsTest : public ServiceRunTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopDuringThePollsTest, StopQueuedDuringThePollsIsServedInsideThemAndThePollsRunOn) {
  const int served_before = GetParam();
  fakes.protocol = "RDP";
  fakes.applied_at_read = 0;
  fakes.on_pause = [served_before](int pause) {
    std::thread([pause, served_before] {
      for (int i = 0; pause == 1 && i < served_before; ++i) request(200);
      if (pause == 3) request(SERVICE_CONTROL_STOP);
    }).join();
  };
  run();
  const Lines all = lines();
  EXPECT_EQ(std::count(all.begin(), all.end(), "<< DoCustomControl"), served_before);
  const Lines journal = fakes.journal();
  EXPECT_EQ(fakes.count("pause 100"), 20);
  // Each poll serves the queue first, then pauses, then reads back: the stop
  // queued in the third pause waits for the fourth poll.
  const int third = position(journal, "pause 100", 3);
  ASSERT_GE(third, 0);
  ASSERT_LE(third + 4, static_cast<int>(journal.size()));
  EXPECT_EQ(Lines(journal.begin() + third, journal.begin() + third + 4),
            (Lines{"pause 100", "read protocol RDP", "ATI free", "pause 100"}));
  EXPECT_EQ(journal.back(), "ATI clone");

  EXPECT_LT(position(all, ">> set_session_protocol"), position(all, ">> ServiceStop"));
  EXPECT_LT(position(all, "<< ServiceStop"),
            position(all, "Timed out waiting for session protocol to be set"));
  EXPECT_LT(position(all, "Timed out waiting for session protocol to be set"),
            position(all, "Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode"));
  EXPECT_LT(position(all, "<< enable_clone_mode"), position(all, "<< ServiceExecute"));
  EXPECT_EQ(entries(), (std::vector<Entry>{{EVENTLOG_INFORMATION_TYPE, "Started XV Vistrell"},
                                           {EVENTLOG_INFORMATION_TYPE, "Stopped XV Vistrell"}}));
  EXPECT_EQ(win32.status_lines(),
            (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 3 cp 0", "status 1 cp 0"}));
}

INSTANTIATE_TEST_SUITE_P(Lives, StopDuringThePollsTest,
                         ::testing::Values(0, 2 * TService::kMaxNestedRequests),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return "After" + std::to_string(row.param) + "Requests";
                         });

// A burst of adapter codes queued while the first run waits for the firmware
// nests the runs inside each other's polls. Unbounded, about 3,300 nested
// runs (some 620 bytes of stack each) filled the 2 MB stack the service
// thread had by default; now they nest no deeper than the bound, and every
// code is still served, in arrival order.
TEST_F(ServiceRunTest, ABurstBeyondWhatTheStackHeldIsServedInOrderWithBoundedNesting) {
  const int burst = 5000;
  fakes.on_pause = [burst](int pause) {
    if (pause != 1) return;  // the first run's only poll
    for (int i = 0; i < burst; ++i) request(i % 2 == 0 ? CONTROL_ADAPTER_ATTACHED : CONTROL_ADAPTER_DETACHED);
    request(SERVICE_CONTROL_STOP);
  };
  run([this] { eventually([this] { return fakes.count("ATI free") == 1; }, 100000); });

  // Each run writes the setting first and switches last: the runs open
  // between the two are the nesting depth.
  int depth = 0, deepest = 0, runs = 0;
  for (const std::string& entry : fakes.journal()) {
    if (entry == "write TLV") {
      deepest = std::max(deepest, ++depth);
      ++runs;
    }
    if (entry == "ATI clone") --depth;
  }
  EXPECT_EQ(runs, burst + 1);
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(deepest, TService::kMaxNestedRequests);

  int served = 0;
  for (const std::string& line : lines()) {
    if (line != "@ Diagnostic adapter attached" && line != "@ Diagnostic adapter detached") continue;
    ASSERT_EQ(line, served % 2 == 0 ? "@ Diagnostic adapter attached" : "@ Diagnostic adapter detached")
        << "code " << served;
    ++served;
  }
  EXPECT_EQ(served, burst);
}

TEST_F(ServiceRunTest, MissingExportReachesTheRuntimeAsAFailedStart) {
  fakes.load_exception = os_error_message(ERROR_PROC_NOT_FOUND);
  run();
  EXPECT_EQ(entries(),
            (std::vector<Entry>{{EVENTLOG_ERROR_TYPE,
                                 "Service failed on start: " + os_error_message(ERROR_PROC_NOT_FOUND)}}));
  EXPECT_EQ(win32.status_lines(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 1 cp 0"}));
  EXPECT_EQ(fakes.journal(), Lines{"ATI load"});
  EXPECT_EQ(position(lines(), "<< ServiceStart"), -1);
}

// A watcher that cannot be started fails the start; the library loaded just
// before is released again.
TEST_F(ServiceRunTest, WatcherThatCannotStartFailsTheStartAndReleasesTheLibrary) {
  fakes.watcher_exception = os_error_message(ERROR_NOT_ENOUGH_MEMORY);
  run();
  EXPECT_EQ(entries(),
            (std::vector<Entry>{{EVENTLOG_ERROR_TYPE,
                                 "Service failed on start: " + os_error_message(ERROR_NOT_ENOUGH_MEMORY)}}));
  EXPECT_EQ(fakes.journal(), (Lines{"ATI load", "create watcher running", "ATI free"}));
  EXPECT_FALSE(fakes.library_loaded);
  EXPECT_EQ(module.notify, nullptr);
}

TEST_F(ServiceRunTest, ExceptionOutOfThePolicyForAnAdapterCodeIsLoggedAndTheServiceRunsOn) {
  run([this] {
    ASSERT_TRUE(wait_for_entries("ATI clone", 1));
    fakes.clone_exception = "System Error.  Code: 5.";
    request(CONTROL_ADAPTER_ATTACHED);
    ASSERT_TRUE(wait_for_entries("ATI clone", 2));
    request(SERVICE_CONTROL_INTERROGATE);
    request(SERVICE_CONTROL_STOP);
  });
  EXPECT_EQ(entries(),
            (std::vector<Entry>{
                {EVENTLOG_INFORMATION_TYPE, "Started XV Vistrell"},
                {EVENTLOG_ERROR_TYPE, "Service failed in custom message(1034): System Error.  Code: 5."},
                {EVENTLOG_INFORMATION_TYPE, "Stopped XV Vistrell"}}));
  EXPECT_EQ(win32.status_lines(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 4 cp 0",
                                         "status 4 cp 0", "status 3 cp 0", "status 1 cp 0"}));
}

}  // namespace
