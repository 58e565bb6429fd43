// The service base driven in-process: Main on a thread of its own as the
// service control manager's dispatcher would call it, requests through
// Controller from the test thread, status reports and event entries recorded
// at the Win32 seam.
#include "service/service_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "common/errors.h"
#include "tests/display/trace_capture.h"
#include "tests/service/fake_win32.h"

namespace {

using Lines = std::vector<std::string>;

class TestService : public TService {
 public:
  explicit TestService(FakeWin32& fake, TServiceHost* host = nullptr)
      : TService(host, "TestService"), fake_(fake) {
    AllowPause = false;
    current = this;
  }
  ~TestService() override { current = nullptr; }

  // Runs Main on a thread of its own.
  void start() {
    main_thread_ = std::thread([this] {
      char name[] = "TestService";
      char* argv[] = {name};
      Main(1, argv);
      fake_.note("main returned");
    });
  }
  void join() { main_thread_.join(); }

  std::function<bool(DWORD code, DWORD event_type)> custom;

 protected:
  bool DoCustomControl(DWORD code, DWORD event_type) override {
    fake_.note("custom " + std::to_string(code) + " type " + std::to_string(event_type));
    return custom ? custom(code, event_type) : TService::DoCustomControl(code, event_type);
  }
  LPHANDLER_FUNCTION_EX GetServiceController() override { return controller; }

 private:
  static DWORD WINAPI controller(DWORD code, DWORD event_type, LPVOID data, LPVOID) {
    if (current != nullptr) current->Controller(code, event_type, data);
    return NO_ERROR;
  }
  static TestService* current;

  FakeWin32& fake_;
  std::thread main_thread_;
};
TestService* TestService::current = nullptr;

// A gate the execute handler waits at, so requests queue up behind it.
class Gate {
 public:
  Gate() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  void wait() { WaitForSingleObject(event_.get(), 10000); }
  void open() { SetEvent(event_.get()); }

 private:
  ScopedHandle event_;
};

class ServiceBaseTest : public ::testing::Test {
 protected:
  // Installs an execute handler that notes itself, waits at the gate, then
  // serves requests as a module's request loop does.
  void serve_after_gate() {
    service.OnExecute = [this](TService* sender) {
      fake.note("execute");
      gate.wait();
      while (!sender->Terminated()) sender->ProcessRequests(true);
      fake.note("execute end");
    };
  }
  void start_running() {
    service.start();
    ASSERT_TRUE(fake.wait_for_state(SERVICE_RUNNING));
  }
  void stop_and_join() {
    service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
    gate.open();
    service.join();
  }
  // The journal from the running report on.
  Lines journal_after_running() const {
    const Lines all = fake.journal();
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i] == "status 4 cp 0") return Lines(all.begin() + static_cast<long>(i) + 1, all.end());
    return {};
  }

  FakeWin32 fake;
  TestService service{fake};
  Gate gate;
};

// The reservation of the calling thread's stack: the allocation a local lies
// in, committed or not, guard pages included.
SIZE_T own_stack_reservation() {
  MEMORY_BASIC_INFORMATION region = {};
  VirtualQuery(&region, &region, sizeof region);
  const void* const base = region.AllocationBase;
  SIZE_T size = 0;
  while (VirtualQuery(static_cast<const char*>(base) + size, &region, sizeof region) != 0 &&
         region.AllocationBase == base)
    size += region.RegionSize;
  return size;
}

// The start handler runs on the service thread, whose stack is reserved at
// kStackSize.
TEST_F(ServiceBaseTest, StartRefusedReportsStartPendingTwiceThenStoppedWithoutExecuting) {
  SIZE_T reserved = 0;
  service.OnStart = [&](TService*, bool& started) {
    reserved = own_stack_reservation();
    started = false;
  };
  service.OnExecute = [this](TService*) { fake.note("execute"); };
  service.start();
  service.join();
  EXPECT_EQ(fake.journal(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 1 cp 0", "main returned"}));
  const std::vector<RecordedStatus> statuses = fake.statuses();
  EXPECT_EQ(statuses[0].controls, 0u);
  EXPECT_EQ(statuses[1].controls, 0u);
  EXPECT_EQ(statuses[2].controls, 0xFDu);
  for (const RecordedStatus& status : statuses) {
    EXPECT_EQ(status.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status.wait_hint, 5000u);
  }
  EXPECT_EQ(fake.handler_name, "TestService");
  EXPECT_EQ(reserved, TServiceThread::kStackSize);
}

TEST_F(ServiceBaseTest, ParamsHoldTheArgumentsOfMain) {
  service.OnStart = [](TService*, bool& started) { started = false; };
  char name[] = "TestService", first[] = "-t", second[] = "x";
  char* argv[] = {name, first, second};
  service.Main(3, argv);
  ASSERT_EQ(service.ParamCount(), 3);
  EXPECT_EQ(service.Param(0), "TestService");
  EXPECT_EQ(service.Param(2), "x");
}

TEST_F(ServiceBaseTest, InterrogateWhileRunningReportsRunningAgainWithCheckpointZero) {
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_INTERROGATE, 0, nullptr);
  gate.open();
  ASSERT_TRUE(fake.wait_for_state(SERVICE_RUNNING, 2));
  stop_and_join();
  EXPECT_EQ(fake.status_lines(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 4 cp 0",
                                        "status 3 cp 0", "status 1 cp 0"}));
  EXPECT_EQ(fake.statuses()[3].controls, 0xFDu);
}

TEST_F(ServiceBaseTest, StopWhileWaitingServesQueuedRequestsBeforeReportingStopped) {
  service.OnStop = [this](TService*, bool&) { fake.note("stop handler"); };
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  service.Controller(200, 1, nullptr);
  service.Controller(201, 2, nullptr);
  gate.open();
  service.join();
  EXPECT_EQ(journal_after_running(),
            (Lines{"execute", "status 3 cp 0", "stop handler", "execute end", "custom 200 type 1",
                   "custom 201 type 2", "status 1 cp 0", "main returned"}));
  EXPECT_TRUE(fake.events().empty());
}

TEST_F(ServiceBaseTest, ShutdownEndsTheServiceWithoutTheStopHandler) {
  service.OnStop = [this](TService*, bool&) { fake.note("stop handler"); };
  service.OnShutdown = [this](TService*) { fake.note("shutdown handler"); };
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
  gate.open();
  service.join();
  EXPECT_EQ(journal_after_running(), (Lines{"execute", "status 3 cp 0", "shutdown handler", "execute end",
                                            "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, ShutdownHandlerErrorStillEndsTheServiceAndKeepsStopPending) {
  service.OnShutdown = [](TService*) { throw Exception("disk gone"); };
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
  gate.open();
  service.join();
  EXPECT_EQ(journal_after_running(),
            (Lines{"execute", "status 3 cp 0", "event 1 Service failed on shutdown: disk gone", "execute end",
                   "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, RequestsAreServedInOrderAndANestedProcessRequestsServesTheQueueInside) {
  service.custom = [this](DWORD code, DWORD) {
    if (code == 300) {
      fake.note("300 begins");
      service.ProcessRequests(false);
      fake.note("300 ends");
    }
    return true;
  };
  serve_after_gate();
  start_running();
  for (DWORD code : {300u, 301u, 302u}) service.Controller(code, 0, nullptr);
  service.Controller(303, 0, nullptr);
  stop_and_join();
  EXPECT_EQ(journal_after_running(), (Lines{"execute", "custom 300 type 0", "300 begins", "custom 301 type 0",
                                            "custom 302 type 0", "custom 303 type 0", "status 3 cp 0",
                                            "300 ends", "execute end", "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, CustomCode200GoesToDoCustomControlAndLeavesTheState) {
  serve_after_gate();
  start_running();
  service.Controller(200, 7, nullptr);
  stop_and_join();
  EXPECT_EQ(journal_after_running(), (Lines{"execute", "custom 200 type 7", "status 3 cp 0", "execute end",
                                            "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, BaseDoCustomControlAnswersHandled) {
  service.custom = nullptr;  // the base answers
  serve_after_gate();
  start_running();
  service.Controller(0, 0, nullptr);
  stop_and_join();
  EXPECT_EQ(fake.status_lines().size(), 5u);  // no state restored
}

TEST_F(ServiceBaseTest, UnhandledCustomControlRestoresTheState) {
  service.custom = [this](DWORD, DWORD) {
    service.SetStatus(csPausePending);
    return false;
  };
  serve_after_gate();
  start_running();
  service.Controller(200, 0, nullptr);
  stop_and_join();
  EXPECT_EQ(journal_after_running(),
            (Lines{"execute", "custom 200 type 0", "status 6 cp 0", "status 4 cp 0", "status 3 cp 0",
                   "execute end", "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, SessionChangeExceptionIsLoggedWithTheCustomFormatAndTheStateRestored) {
  service.OnSessionChange = [this](TService* sender, DWORD event_type) {
    fake.note("session change " + std::to_string(event_type));
    sender->SetStatus(csPausePending);
    throw Exception("no firmware");
  };
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_SESSIONCHANGE, 5, nullptr);
  stop_and_join();
  EXPECT_EQ(journal_after_running(),
            (Lines{"execute", "session change 5", "status 6 cp 0", "status 4 cp 0",
                   "event 1 Service failed in custom message(14): no firmware", "status 3 cp 0",
                   "execute end", "status 1 cp 0", "main returned"}));
  const RecordedEvent event = fake.events().at(0);
  EXPECT_EQ(event.source, "TestService");
  EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(event.category, 0);
  EXPECT_EQ(event.id, 0u);
  EXPECT_EQ(event.string_count, 1);
}

TEST_F(ServiceBaseTest, RefusedStopRestoresRunningWithoutAnEntry) {
  int stops = 0;
  service.OnStop = [&](TService*, bool& stopped) { stopped = ++stops > 1; };
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  stop_and_join();
  EXPECT_EQ(fake.status_lines(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 3 cp 0",
                                        "status 4 cp 0", "status 3 cp 0", "status 1 cp 0"}));
  EXPECT_TRUE(fake.events().empty());
}

TEST_F(ServiceBaseTest, FailedStopRestoresRunningAndLogsTheStopAction) {
  int stops = 0;
  service.OnStop = [&](TService*, bool&) {
    if (++stops == 1) throw Exception("library busy");
  };
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  stop_and_join();
  EXPECT_EQ(journal_after_running(), (Lines{"execute", "status 3 cp 0", "status 4 cp 0",
                                            "event 1 Service failed on stop: library busy", "status 3 cp 0",
                                            "execute end", "status 1 cp 0", "main returned"}));
}

// A text error or any other non-Exception error reaching the request loop is
// reported with a generic text and the service keeps running.
TEST_F(ServiceBaseTest, ErrorsOtherThanExceptionInARequestAreLoggedAndTheServiceGoesOn) {
  service.custom = [](DWORD code, DWORD) -> bool {
    if (code == 200) throw TextError("we're done");
    throw 42;
  };
  serve_after_gate();
  start_running();
  service.Controller(200, 0, nullptr);
  service.Controller(201, 0, nullptr);
  stop_and_join();
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text, "Service failed in custom message(200): Unexpected error: we're done");
  EXPECT_EQ(events[1].text, "Service failed in custom message(201): Unexpected error");
  EXPECT_EQ(fake.statuses().back().state, static_cast<DWORD>(SERVICE_STOPPED));
}

struct HandlerFailure {
  const char* handler;
  bool exception;
  const char* entry;
};

class HandlerFailureTest : public ServiceBaseTest, public ::testing::WithParamInterface<HandlerFailure> {};

TEST_P(HandlerFailureTest, ErrorOutOfStartOrExecuteIsLoggedAndTheServiceStops) {
  const HandlerFailure failure = GetParam();
  auto raise = [failure] {
    if (failure.exception) throw EOSError(ERROR_ACCESS_DENIED);
    throw TextError("Unable to load ATI DLL");
  };
  if (std::string(failure.handler) == "start")
    service.OnStart = [raise](TService*, bool&) { raise(); };
  else
    service.OnExecute = [raise](TService*) { raise(); };
  service.start();
  service.join();
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text.rfind(failure.entry, 0), 0u) << events[0].text;
  EXPECT_EQ(fake.statuses().back().state, static_cast<DWORD>(SERVICE_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, HandlerFailureTest,
    ::testing::Values(
        HandlerFailure{"start", true, "Service failed on start: System Error.  Code: 5.\r\n"},
        HandlerFailure{"execute", true, "Service failed on execute: System Error.  Code: 5.\r\n"},
        HandlerFailure{"start", false, "Service failed on start: Unexpected error: Unable to load ATI DLL"},
        HandlerFailure{"execute", false,
                       "Service failed on execute: Unexpected error: Unable to load ATI DLL"}),
    [](const ::testing::TestParamInfo<HandlerFailure>& row) {
      return std::string(row.param.handler) + (row.param.exception ? "Exception" : "TextError");
    });

TEST_F(ServiceBaseTest, WithoutAnExecuteHandlerTheBaseServesRequestsUntilStopped) {
  start_running();
  service.Controller(SERVICE_CONTROL_INTERROGATE, 0, nullptr);
  service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  service.join();
  EXPECT_EQ(fake.status_lines(), (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 4 cp 0",
                                        "status 3 cp 0", "status 1 cp 0"}));
}

TEST_F(ServiceBaseTest, PauseWaitsForTheNextRequestAndContinueResumes) {
  service.AllowPause = true;
  service.OnPause = [this](TService*, bool&) { fake.note("pause handler"); };
  service.OnContinue = [this](TService*, bool&) { fake.note("continue handler"); };
  start_running();
  EXPECT_EQ(fake.statuses().back().controls, 0xFFu);
  service.Controller(SERVICE_CONTROL_PAUSE, 0, nullptr);
  ASSERT_TRUE(fake.wait_for_state(SERVICE_PAUSED));
  service.Controller(SERVICE_CONTROL_CONTINUE, 0, nullptr);
  ASSERT_TRUE(fake.wait_for_state(SERVICE_RUNNING, 2));
  service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  service.join();
  EXPECT_EQ(journal_after_running(),
            (Lines{"status 6 cp 0", "pause handler", "status 7 cp 0", "status 5 cp 0", "continue handler",
                   "status 4 cp 0", "status 3 cp 0", "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, PauseWithARequestAlreadyQueuedDoesNotWait) {
  service.AllowPause = true;
  serve_after_gate();
  start_running();
  service.Controller(SERVICE_CONTROL_PAUSE, 0, nullptr);
  service.Controller(SERVICE_CONTROL_CONTINUE, 0, nullptr);
  stop_and_join();
  EXPECT_EQ(fake.status_lines(),
            (Lines{"status 2 cp 1", "status 2 cp 2", "status 4 cp 0", "status 6 cp 0", "status 7 cp 0",
                   "status 5 cp 0", "status 4 cp 0", "status 3 cp 0", "status 1 cp 0"}));
}

// Any process can post the request message to the service thread: only what
// Controller queued is served, and pause is refused while not allowed. A post
// that fails (a queue that forged messages filled) is traced, and its request
// is served all the same.
TEST_F(ServiceBaseTest, OnlyRequestsFromControllerAreServedEachOnceAndPauseIsRefusedUnlessAllowed) {
  DWORD service_thread = 0;
  service.OnStart = [&](TService*, bool&) { service_thread = GetCurrentThreadId(); };
  serve_after_gate();
  start_running();
  for (const DWORD code : {1, 2, 14, 1034}) PostThreadMessageA(service_thread, kRequestMessage, code, 7);
  service.Controller(SERVICE_CONTROL_PAUSE, 0, nullptr);
  service.Controller(1034, 0, nullptr);
  {
    const TraceCapture capture(1);
    fake.fail_post = ERROR_NOT_ENOUGH_QUOTA;
    service.Controller(200, 3, nullptr);
    fake.fail_post = 0;
    EXPECT_EQ(capture.texts(), (Lines{"Control request 200 (event type 3) not posted: error 1816"}));
  }
  // The same messages again: they serve neither request a second time.
  for (const DWORD code : {1034, 200})
    PostThreadMessageA(service_thread, kRequestMessage, code, code == 200 ? 3 : 0);
  stop_and_join();
  EXPECT_EQ(journal_after_running(),
            (Lines{"execute", "status 4 cp 0", "custom 1034 type 0", "custom 200 type 3", "status 3 cp 0",
                   "execute end", "status 1 cp 0", "main returned"}));
}

TEST_F(ServiceBaseTest, FailedHandlerRegistrationLogsTheSystemTextAndReportsNothing) {
  fake.fail_register_handler = ERROR_SERVICE_DOES_NOT_EXIST;
  service.start();
  service.join();
  EXPECT_TRUE(fake.statuses().empty());
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, system_error_text(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(events[0].text.empty());
}

TEST_F(ServiceBaseTest, FailedStatusReportLogsTheSystemTextAndKeepsTheState) {
  fake.fail_set_status = ERROR_INVALID_DATA;
  service.SetStatus(csRunning);
  EXPECT_EQ(service.Status(), csRunning);
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, system_error_text(ERROR_INVALID_DATA));
}

// A request after the run has ended (the watcher can still deliver one) is
// dropped: nothing is posted, nothing reported, nothing crashes.
// Posting to the ended thread would fail by itself, but Windows may give its
// id to another thread, so nothing may be posted at all.
TEST_F(ServiceBaseTest, LateRequestsBeforeAndAfterTheRunAreDropped) {
  service.Controller(200, 0, nullptr);  // before any run
  EXPECT_EQ(fake.posts, 0);
  service.OnStart = [](TService*, bool& started) { started = false; };
  service.start();
  service.join();
  const std::size_t entries = fake.journal().size();
  for (int i = 0; i < 50; ++i) service.Controller(1035, 0, nullptr);
  EXPECT_EQ(fake.journal().size(), entries);
  EXPECT_EQ(fake.posts, 0);
  EXPECT_FALSE(service.Terminated());
}

TEST(ServiceStatusTest, CheckpointCountsOnlyRepeatedPendingStates) {
  FakeWin32 fake;
  TestService service(fake);
  char name[] = "TestService";
  char* argv[] = {name};
  service.OnStart = [](TService*, bool& started) { started = false; };
  service.Main(1, argv);  // registers the status handle; start pending, start pending, stopped
  for (TCurrentStatus status : {csStopPending, csStopPending, csStopPending, csRunning, csRunning,
                                csPausePending, csContinuePending, csContinuePending, csPaused, csPaused})
    service.SetStatus(status);
  EXPECT_EQ(fake.status_lines(),
            (Lines{"status 2 cp 1", "status 2 cp 2", "status 1 cp 0", "status 3 cp 0", "status 3 cp 1",
                   "status 3 cp 2", "status 4 cp 0", "status 4 cp 0", "status 6 cp 0", "status 5 cp 0",
                   "status 5 cp 1", "status 7 cp 0", "status 7 cp 0"}));
}

TEST(ServiceStatusTest, ControlsAcceptedFollowAllowStopAndAllowPause) {
  FakeWin32 fake;
  TestService service(fake);
  struct Row {
    bool stop, pause;
    DWORD accepted;
  };
  for (Row row :
       {Row{true, true, 0xFF}, Row{true, false, 0xFD}, Row{false, true, 0xFE}, Row{false, false, 0xFC}}) {
    service.AllowStop = row.stop;
    service.AllowPause = row.pause;
    service.SetStatus(csRunning);
    EXPECT_EQ(service.controls_accepted_value(), row.accepted);
    service.SetStatus(csStartPending);
    EXPECT_EQ(service.controls_accepted_value(), 0u);
  }
}

// A host whose service count, which every status report asks for, raises
// for the next so many reports.
class FailingHost : public TServiceHost {
 public:
  int ServiceCount() const override {
    if (failures > 0) {
      --failures;
      throw Exception("host gone");
    }
    return 1;
  }
  bool DelayInitialize() const override { return false; }
  void InitializeApplication() override {}

  mutable std::atomic<int> failures{0};
};

// The failures that the cases above do not reach, each through its own path:
// the entry names the action. The service thread's start counts as "execute",
// the whole run it starts.
struct ActionFailure {
  const char* name;
  std::function<void(TestService&, FakeWin32&, FailingHost&)> drive;
  const char* entry;
};

void PrintTo(const ActionFailure& row, std::ostream* out) { *out << row.name; }

void raise_host_gone(TService*, bool&) { throw Exception("host gone"); }

// Runs the service without an execute handler, sends the requests once it
// runs, then stops it.
void run_with_requests(TestService& service, FakeWin32& fake, std::initializer_list<DWORD> codes,
                       const std::function<void()>& before_requests = {}) {
  service.start();
  ASSERT_TRUE(fake.wait_for_state(SERVICE_RUNNING));
  if (before_requests) before_requests();
  for (DWORD code : codes) service.Controller(code, 0, nullptr);
  service.Controller(SERVICE_CONTROL_STOP, 0, nullptr);
  service.join();
}

class ActionFailureTest : public ::testing::TestWithParam<ActionFailure> {
 protected:
  FakeWin32 fake;
  FailingHost host;
  TestService service{fake, &host};
};

TEST_P(ActionFailureTest, EntryNamesTheAction) {
  GetParam().drive(service, fake, host);
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, GetParam().entry);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, ActionFailureTest,
    ::testing::Values(
        ActionFailure{"ServiceThreadStart",
                      [](TestService& service, FakeWin32&, FailingHost& host) {
                        host.failures = 1;
                        service.start();
                        service.join();
                      },
                      "Service failed on execute: host gone"},
        ActionFailure{"Pause",
                      [](TestService& service, FakeWin32& fake, FailingHost&) {
                        service.AllowPause = true;
                        service.OnPause = raise_host_gone;
                        run_with_requests(service, fake, {SERVICE_CONTROL_PAUSE});
                      },
                      "Service failed on pause: host gone"},
        ActionFailure{"Continue",
                      [](TestService& service, FakeWin32& fake, FailingHost&) {
                        service.AllowPause = true;
                        service.OnContinue = raise_host_gone;
                        run_with_requests(service, fake, {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE});
                      },
                      "Service failed on continue: host gone"},
        ActionFailure{"Interrogate",
                      [](TestService& service, FakeWin32& fake, FailingHost& host) {
                        run_with_requests(service, fake, {SERVICE_CONTROL_INTERROGATE},
                                          [&host] { host.failures = 1; });
                      },
                      "Service failed on interrogate: host gone"}),
    [](const ::testing::TestParamInfo<ActionFailure>& row) { return std::string(row.param.name); });

TEST(EventLoggerTest, RegistersTheSourceOnFirstUseRetriesAfterAFailureAndDeregisters) {
  FakeWin32 fake;
  fake.fail_register_event_source = 1;
  {
    TEventLogger logger("xvVistrell");
    EXPECT_EQ(fake.event_source_registrations, 0);
    logger.LogMessage("lost");
    EXPECT_TRUE(fake.events().empty());
    logger.LogMessage("first", EVENTLOG_INFORMATION_TYPE);
    logger.LogMessage("second");
    EXPECT_EQ(fake.event_source_registrations, 2);
    EXPECT_EQ(fake.event_sources_open, 1);
  }
  EXPECT_EQ(fake.event_sources_open, 0);
  const std::vector<RecordedEvent> events = fake.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].source, "xvVistrell");
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[0].text, "first");
  EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
}

TEST(ServicePropertiesTest, DefaultsOfTheBase) {
  FakeWin32 fake;
  TestService service(fake);
  EXPECT_EQ(service.Status(), csStopped);
  EXPECT_EQ(service.WaitHint, 5000u);
  EXPECT_FALSE(service.Interactive());
  EXPECT_EQ(service.ServiceType, stWin32);
  EXPECT_EQ(service.StartType, stAuto);
  EXPECT_EQ(service.ErrorSeverity, esNormal);
  EXPECT_EQ(service.TagID, 0u);
  EXPECT_TRUE(service.AllowStop);
  EXPECT_TRUE(service.Params.empty());
  EXPECT_TRUE(service.Dependencies.empty());
  EXPECT_FALSE(service.Terminated());
}

TEST(ServicePropertiesTest, InteractiveAndAnAccountExcludeEachOther) {
  FakeWin32 fake;
  TestService service(fake);
  service.SetServiceStartName(".\\operator");
  service.SetPassword("secret");
  service.SetInteractive(true);
  EXPECT_TRUE(service.ServiceStartName().empty());
  EXPECT_TRUE(service.Password().empty());
  service.SetServiceStartName(".\\operator");
  EXPECT_FALSE(service.Interactive());
  service.SetInteractive(true);
  service.SetPassword("secret");
  EXPECT_FALSE(service.Interactive());
}

TEST(ServicePropertiesTest, ValuesForTheServiceControlManager) {
  FakeWin32 fake;
  TestService service(fake);
  EXPECT_EQ(service.service_type_value(), 0x10u);
  service.SetInteractive(true);
  EXPECT_EQ(service.service_type_value(), 0x110u);
  service.ServiceType = stDevice;
  EXPECT_EQ(service.service_type_value(), static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
  service.StartType = stBoot;
  EXPECT_EQ(service.start_type_value(), 0u);
  service.ServiceType = stFileSystem;
  EXPECT_EQ(service.service_type_value(), static_cast<DWORD>(SERVICE_FILE_SYSTEM_DRIVER));
  EXPECT_EQ(service.start_type_value(), 2u);
  service.StartType = stSystem;
  EXPECT_EQ(service.start_type_value(), 2u);
  service.StartType = stDisabled;
  EXPECT_EQ(service.start_type_value(), 4u);
  service.ErrorSeverity = esCritical;
  EXPECT_EQ(service.error_control_value(), 3u);
}

TEST(DependencyListTest, NamesEachEndedByNulThenOneMoreNulAndPlusForAGroup) {
  using namespace std::string_literals;
  EXPECT_EQ(dependency_list({}), ""s);
  EXPECT_EQ(dependency_list({{"tlvsender", false}}), "tlvsender\0\0"s);
  EXPECT_EQ(dependency_list({{"Video", true}}), "+Video\0\0"s);
  EXPECT_EQ(dependency_list({{"tlvsender", false}, {"Video", true}}), "tlvsender\0+Video\0\0"s);
}

}  // namespace
