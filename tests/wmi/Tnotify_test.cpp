// The hot-plug watcher against the firmware stand-in: real threads, real COM
// waits, events raised through the stand-in's shared state.
#include "wmi/Tnotify.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "sim/wmi_firmware/firmware_state.h"
#include "trace/trace_log.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const DWORD kTimeoutMs = 10000;
const char kUnexpectedTail[] =
    ") for the state from the WMI call to wait for a notification when the BladeDongleState is "
    "changed";

wmisim::FirmwareState& firmware() { return wmisim::firmware_state(); }

struct Request {
  DWORD code;
  DWORD event_type;
  void* data;
  void* context;
  std::wstring thread_name;  // of the thread that delivered it, as debuggers show it
};

// GetThreadDescription, where the system keeps thread names (Windows 10 and
// Wine); null elsewhere.
using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);
GetThreadDescriptionFunction thread_description_reader() {
  return reinterpret_cast<GetThreadDescriptionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetThreadDescription")));
}

std::wstring own_thread_name() {
  const GetThreadDescriptionFunction read = thread_description_reader();
  PWSTR name = nullptr;
  if (read == nullptr || FAILED(read(GetCurrentThread(), &name))) return L"";
  std::wstring copy = name;
  LocalFree(name);
  return copy;
}

// What reached the control-request entry, from the watcher's thread.
class Requests {
 public:
  void add(const Request& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
  }
  bool wait_for(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kTimeoutMs),
                             [&] { return requests_.size() >= count; });
  }
  std::vector<Request> taken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<DWORD> codes() {
    std::vector<DWORD> codes;
    for (const Request& request : taken()) codes.push_back(request.code);
    return codes;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Request> requests_;
};

Requests requests;

DWORD WINAPI record_request(DWORD code, DWORD event_type, LPVOID data, LPVOID context) {
  requests.add({code, event_type, data, context, own_thread_name()});
  return NO_ERROR;
}

// The process trace log at level 1, in a file of its own.
struct ProcessLog {
  std::string path;
  ProcessLog() {
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    const std::string name = std::string(folder) + "xvnotify_test_" + std::to_string(GetCurrentProcessId());
    path = name + ".txt";
    open_trace_log(name + ".exe");
    std::vector<std::string> options{"-d"};
    parse_trace_options(&options);
  }
  std::string content() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

ProcessLog& process_log() {
  static ProcessLog log;
  return log;
}

void raise_when_waiting(const std::wstring& text) {
  ASSERT_TRUE(firmware().wait_for_subscription(kTimeoutMs)) << "the watcher never waited";
  ASSERT_EQ(1, firmware().raise_event(wmisim::text_value(text)));
}

bool wait_until_finished(const TNotify& notify) {
  for (DWORD waited = 0; waited < kTimeoutMs; waited += 20) {
    if (notify.Finished()) return true;
    Sleep(20);
  }
  return false;
}

// Ends a waiting watcher the way the service does: terminate, then the next
// event. (A terminate request before the first wait ends it without waiting.)
void end_watcher(TNotify& notify) {
  ASSERT_TRUE(firmware().wait_for_subscription(kTimeoutMs)) << "the watcher never waited";
  notify.Terminate();
  raise_when_waiting(L"Absent");
  EXPECT_TRUE(wait_until_finished(notify));
}

// Waits until the process log holds the line whole: nothing in front of it,
// no time and no blanks, and the line end right after it.
bool wait_for_log_line(const std::string& line) {
  for (DWORD waited = 0; waited < kTimeoutMs; waited += 20) {
    if (("\n" + process_log().content()).find("\n" + line + "\r\n") != std::string::npos) return true;
    Sleep(20);
  }
  return false;
}

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    process_log();
    firmware().reset();
    requests.clear();
  }
  void TearDown() override {
    EXPECT_EQ(0, firmware().subscriptions());
    EXPECT_EQ(0, firmware().live_objects(GetCurrentProcessId())) << "objects still held";
    firmware().reset();
  }
};

TEST_F(NotifyTest, AdapterStatesBecomeTheirControlCodes) {
  const struct {
    const wchar_t* description;
    DWORD code;
  } cases[] = {{L"Present", 1034}, {L"Absent", 1035}};
  for (const auto& c : cases) {
    requests.clear();
    std::shared_ptr<TNotify> notify = TNotify::Create(false, record_request);
    raise_when_waiting(c.description);
    ASSERT_TRUE(requests.wait_for(1));
    // The terminate request drops the code of the event that ends the wait.
    end_watcher(*notify);
    const std::vector<Request> taken = requests.taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].code, c.code);
    EXPECT_EQ(taken[0].event_type, 0u);
    EXPECT_EQ(taken[0].data, nullptr);
    EXPECT_EQ(taken[0].context, nullptr);
    if (thread_description_reader() != nullptr) {
      EXPECT_EQ(taken[0].thread_name, L"DongleHotplug");
    }
  }
}

TEST_F(NotifyTest, EveryEventIsDeliveredInOrderWhileTheWatcherRuns) {
  std::shared_ptr<TNotify> notify = TNotify::Create(false, record_request);
  for (int i = 0; i < 10; ++i) {
    raise_when_waiting(i % 2 == 0 ? L"Present" : L"Absent");
    ASSERT_TRUE(requests.wait_for(static_cast<std::size_t>(i) + 1));
  }
  end_watcher(*notify);
  EXPECT_THAT(requests.codes(), ElementsAre(1034, 1035, 1034, 1035, 1034, 1035, 1034, 1035, 1034, 1035));
}

TEST_F(NotifyTest, UnexpectedTextIsTracedAndDeliversNoCode) {
  std::shared_ptr<TNotify> notify = TNotify::Create(false, record_request);
  for (const char* text : {"present", "ABSENT", "", "Docked"}) {
    requests.clear();
    const std::string line = std::string("Got an unexpected value (") + text + kUnexpectedTail;
    raise_when_waiting(std::wstring(text, text + std::strlen(text)));
    ASSERT_TRUE(wait_for_log_line(line)) << line;
    // The watcher waits again: the next event gets through.
    raise_when_waiting(L"Present");
    ASSERT_TRUE(requests.wait_for(1));
    EXPECT_THAT(requests.codes(), ElementsAre(1034)) << text;
  }
  end_watcher(*notify);
}

TEST_F(NotifyTest, FailedWaitEndsTheWatcherSilently) {
  wmisim::Fault fault;
  fault.times = -1;
  firmware().set_fault(wmisim::Step::notification_query, fault);
  const std::string before = process_log().content();
  std::shared_ptr<TNotify> notify = TNotify::Create(false, record_request);
  ASSERT_TRUE(wait_until_finished(*notify));
  EXPECT_THAT(requests.taken(), IsEmpty());
  EXPECT_EQ(process_log().content(), before) << "the watcher wrote about its end";
  // A terminate request after the end finds the watcher still there.
  notify->Terminate();
  EXPECT_EQ(notify.use_count(), 1);
}

TEST_F(NotifyTest, TerminateTakesEffectOnlyAfterTheNextEvent) {
  std::shared_ptr<TNotify> notify = TNotify::Create(false, record_request);
  ASSERT_TRUE(firmware().wait_for_subscription(kTimeoutMs));
  notify->Terminate();
  Sleep(200);
  EXPECT_FALSE(notify->Finished());
  EXPECT_EQ(firmware().subscriptions(), 1);
  ASSERT_EQ(1, firmware().raise_event(wmisim::text_value(L"Present")));
  EXPECT_TRUE(wait_until_finished(*notify));
  EXPECT_THAT(requests.taken(), IsEmpty());
}

TEST_F(NotifyTest, WatcherFreesItselfWhenNobodyElseHoldsIt) {
  std::weak_ptr<TNotify> watcher;
  {
    std::shared_ptr<TNotify> notify = TNotify::Create(false, record_request);
    watcher = notify;
    ASSERT_TRUE(firmware().wait_for_subscription(kTimeoutMs));
    notify->Terminate();
  }
  EXPECT_FALSE(watcher.expired()) << "freed while its thread still waits";
  raise_when_waiting(L"Absent");
  for (DWORD waited = 0; waited < kTimeoutMs && !watcher.expired(); waited += 20) Sleep(20);
  EXPECT_TRUE(watcher.expired());
}

TEST_F(NotifyTest, TerminateBeforeTheFirstWaitEndsWithoutWaiting) {
  std::shared_ptr<TNotify> notify = TNotify::Create(true, record_request);
  notify->Terminate();
  notify->Resume();
  EXPECT_TRUE(wait_until_finished(*notify));
  EXPECT_EQ(firmware().subscriptions(), 0);
}

TEST_F(NotifyTest, SuspendedWatcherWaitsOnlyAfterResume) {
  std::shared_ptr<TNotify> notify = TNotify::Create(true, record_request);
  EXPECT_FALSE(firmware().wait_for_subscription(300));
  notify->Resume();
  end_watcher(*notify);
}

TEST(ThreadName, NamingWithoutADebuggerLeavesTheProcessRunning) {
  ASSERT_FALSE(IsDebuggerPresent());
  std::thread named([] { name_thread_for_debuggers("DongleHotplug"); });
  named.join();
  SUCCEED();
}

}  // namespace
