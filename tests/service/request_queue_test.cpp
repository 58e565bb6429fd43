// The order in which the service thread serves control requests, on a real
// service thread with the module's neighbours replaced. Real requests come
// through the control-request entry; forged ones are messages posted to the
// service thread, as any process on the desktop can post them. Each row takes
// its steps while the first policy run waits for the firmware, or while the
// service waits for requests, and one of its steps stops the service.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "service/main.h"
#include "tests/display/trace_capture.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"
#include "tests/service/trace_lines.h"

namespace {

using Lines = std::vector<std::string>;

struct Step {
  enum Kind {
    request,     // through the control-request entry
    not_posted,  // the same, but its message cannot be posted (a full queue)
    forged,      // a request message posted by another process
    other,       // a message of another kind, as a process that fills the queue may post
  } kind;
  DWORD code;
  DWORD event_type;
};

struct QueueCase {
  const char* name;
  bool in_policy_run;  // the steps are taken in the first policy run, else once it has ended
  std::vector<Step> steps;
  Lines served;  // the served requests' messages, in order
  bool user_logged_in;
};

void PrintTo(const QueueCase& row, std::ostream* out) { *out << row.name; }

const std::set<std::string> kRequestMessages = {"@ Session Lock", "@ Session unlock",
                                                "@ Diagnostic adapter attached", "@ Stopped XV Vistrell"};

// From a thread of its own, as the dispatcher and other processes send them.
void take_steps(const std::vector<Step>& steps, FakeWin32& win32, DWORD service_thread) {
  std::thread([&] {
    for (const Step& step : steps) {
      if (step.kind == Step::forged || step.kind == Step::other) {
        PostThreadMessageA(service_thread, step.kind == Step::forged ? kRequestMessage : WM_APP, step.code,
                           static_cast<LPARAM>(step.event_type));
        continue;
      }
      win32.fail_post = step.kind == Step::not_posted ? ERROR_NOT_ENOUGH_QUOTA : 0;
      ServiceController(step.code, step.event_type, nullptr, nullptr);
    }
    win32.fail_post = 0;
  }).join();
}

class RequestQueueTest : public ::testing::TestWithParam<QueueCase> {
 protected:
  void SetUp() override { xvVistrell = &module; }
  void TearDown() override { xvVistrell = nullptr; }

  FakeWin32 win32;
  FakeNeighbours fakes;
  TxvVistrell module{nullptr};
};

TEST_P(RequestQueueTest, EachRequestIsServedOnceInArrivalOrder) {
  const QueueCase& row = GetParam();
  const TraceCapture capture;
  std::atomic<DWORD> service_thread{0};
  fakes.on_pause = [&](int pause) {
    if (pause != 1) return;
    service_thread = GetCurrentThreadId();
    if (row.in_policy_run) take_steps(row.steps, win32, service_thread);
  };
  const auto once_the_policy_ran = [&] {
    if (row.in_policy_run) return;
    ASSERT_TRUE(eventually([this] { return fakes.count("ATI clone") == 1; }));
    take_steps(row.steps, win32, service_thread);
  };
  EXPECT_TRUE(run_service(module, once_the_policy_ran)) << "the service did not end";

  Lines served;
  for (const std::string& line : trace_lines(capture))
    if (kRequestMessages.count(line) != 0) served.push_back(line);
  EXPECT_EQ(served, row.served);
  EXPECT_EQ(module.user_logged_in, row.user_logged_in);
}

// Event types 7 and 8: the session was locked, unlocked.
INSTANTIATE_TEST_SUITE_P(
    Orders, RequestQueueTest,
    ::testing::Values(
        // A forged unlock ahead of the user's lock and unlock. Had it served
        // the real unlock, the lock would have come last, and clone mode
        // been switched while the user sat at the console.
        QueueCase{
            "ForgedUnlockAheadOfALockAndAnUnlock",
            true,
            {{Step::forged, 14, 8}, {Step::request, 14, 7}, {Step::request, 14, 8}, {Step::request, 1, 0}},
            {"@ Session Lock", "@ Session unlock", "@ Stopped XV Vistrell"},
            true},
        // Another process has filled the queue, so the stop's message is
        // not posted: the stop is served all the same.
        QueueCase{"StopNotPostedInAPolicyRun",
                  true,
                  {{Step::forged, 1034, 0}, {Step::not_posted, 1, 0}},
                  {"@ Stopped XV Vistrell"},
                  false},
        // The same while the service waits: the next message, of any kind,
        // has the stop served.
        QueueCase{"StopNotPostedWhileWaitingIsServedAtTheNextMessage",
                  false,
                  {{Step::not_posted, 1, 0}, {Step::other, 1, 0}},
                  {"@ Stopped XV Vistrell"},
                  false}),
    [](const ::testing::TestParamInfo<QueueCase>& row) { return std::string(row.param.name); });

}  // namespace
