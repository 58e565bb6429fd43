// Requests served in the order they came, on a real service thread with the
// module's neighbours replaced: real ones through the control-request entry,
// forged ones posted to the service thread, as any process can.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "service/main.h"
#include "tests/display/trace_capture.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"

namespace {

using Lines = std::vector<std::string>;

// A request; one whose message is not posted (a full queue); a forged request
// message; a message of another kind.
enum Kind { request, not_posted, forged, other };
struct QueueCase {
  const char* name;
  bool in_policy_run;  // the steps are taken in the first policy run, else after it
  std::vector<std::tuple<Kind, DWORD, DWORD>> steps;  // kind, code, event type
  Lines served;                                       // the messages of the requests served
  bool user_logged_in;
};
void PrintTo(const QueueCase& row, std::ostream* out) { *out << row.name; }
class RequestQueueTest : public ::testing::TestWithParam<QueueCase> {};

TEST_P(RequestQueueTest, EachRequestIsServedOnceInArrivalOrder) {
  const QueueCase& row = GetParam();
  FakeWin32 win32;
  FakeNeighbours fakes;
  TxvVistrell module{nullptr};
  xvVistrell = &module;
  const TraceCapture capture;
  std::atomic<DWORD> service_thread{0};
  const auto take_steps = [&] {
    std::thread([&] {
      for (const auto& [kind, code, event_type] : row.steps) {
        win32.fail_post = kind == not_posted ? ERROR_NOT_ENOUGH_QUOTA : 0;
        if (kind == request || kind == not_posted)
          ServiceController(code, event_type, nullptr, nullptr);
        else
          PostThreadMessageA(service_thread, kind == forged ? kRequestMessage : WM_APP, code,
                             static_cast<LPARAM>(event_type));
      }
      win32.fail_post = 0;
    }).join();
  };
  fakes.on_pause = [&](int pause) {
    if (pause == 1) service_thread = GetCurrentThreadId();
    if (pause == 1 && row.in_policy_run) take_steps();
  };
  const auto after_the_policy_run = [&] {
    if (!row.in_policy_run && eventually([&] { return fakes.count("ATI clone") == 1; })) take_steps();
  };
  EXPECT_TRUE(run_service(module, after_the_policy_run)) << "the service did not end";
  Lines served;
  for (const std::string& line : capture.lines())
    if (line.rfind("@ Session ", 0) == 0 || line == "@ Stopped XV Vistrell") served.push_back(line);
  EXPECT_EQ(served, row.served);
  EXPECT_EQ(module.user_logged_in, row.user_logged_in);
  xvVistrell = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Orders, RequestQueueTest,
                         ::testing::Values(
                             // Session changes 7 and 8: lock, unlock. Had the forged unlock served
                             // the real one, the lock would have come last, and clone mode been
                             // switched while the user sat at the console.
                             QueueCase{"ForgedUnlockAheadOfALockAndAnUnlock",
                                       true,
                                       {{forged, 14, 8}, {request, 14, 7}, {request, 14, 8}, {request, 1, 0}},
                                       {"@ Session Lock", "@ Session unlock", "@ Stopped XV Vistrell"},
                                       true},
                             // The stop's message not posted, or taken by another loop: the next
                             // message, of any kind, has the stop served.
                             QueueCase{"StopWithoutItsMessage",
                                       false,
                                       {{not_posted, 1, 0}, {other, 0, 0}},
                                       {"@ Stopped XV Vistrell"},
                                       false}),
                         [](const ::testing::TestParamInfo<QueueCase>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
