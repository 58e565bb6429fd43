#include "trace/trace_log.h"

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "common/scoped.h"
#include "tests/common/temp_folder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Restores an environment variable when the test ends.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    char old[4096];
    const DWORD length = GetEnvironmentVariableA(name, old, sizeof old);
    had_ = length > 0 && length < sizeof old;
    if (had_) old_ = old;
    SetEnvironmentVariableA(name, value);
  }
  ~ScopedEnvironment() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// A log whose debugger copy is recorded.
struct RecordedLog {
  std::vector<std::string> debugger;
  TraceLog log{[this](const std::string& line) { debugger.push_back(line); }};
};

const std::regex kHeader("svc\\.exe  [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}  [0-9]{2}:[0-9]{2}:[0-9]{2}\r\n\r\n");
// The locale's long time format: hours, minutes, seconds, perhaps AM or PM.
const std::regex kTimedLine("[0-9]{1,2}:[0-9]{2}:[0-9]{2}(?: [AP]M)? (.*)");

// What the start handler does with the log, in its order.
std::string run_service_start(RecordedLog& recorded, const TempFolder& folder,
                              std::vector<std::string> parameters) {
  TraceLog& log = recorded.log;
  const std::string exe = folder.file("svc.exe");
  log.open(exe);
  log.trace(">> ServiceStart", 2);
  log.write_header(exe);
  log.trace(">> process_command_line_arguments", 2);
  log.parse_options(&parameters);
  log.trace("<< process_command_line_arguments", 2);
  log.trace_timed("Windows:\n  Major version: 5", 1);
  log.trace("<< ServiceStart", 2);
  log.trace(">> ServiceExecute", 2);
  log.trace("<< ServiceExecute", 2);
  return read_whole_file(folder.file("svc.txt"));
}

// Splits the file after the header into its CR LF lines.
std::vector<std::string> lines_after_header(const std::string& content) {
  const std::size_t end = content.find("\r\n\r\n");
  std::vector<std::string> lines;
  std::string rest = content.substr(end + 4);
  for (std::size_t at; (at = rest.find("\r\n")) != std::string::npos; rest.erase(0, at + 2))
    lines.push_back(rest.substr(0, at));
  EXPECT_THAT(rest, IsEmpty()) << "last line not ended with CR LF";
  return lines;
}

std::string strip_time(const std::string& line) {
  std::smatch match;
  EXPECT_TRUE(std::regex_match(line, match, kTimedLine)) << line;
  return match.size() > 1 ? match[1].str() : line;
}

TEST(TraceOptions, NoParametersWritesTheHeaderOnly) {
  TempFolder folder;
  RecordedLog recorded;
  const std::string content = run_service_start(recorded, folder, {"xvVistrell"});
  EXPECT_TRUE(std::regex_match(content, kHeader)) << content;
  EXPECT_THAT(recorded.debugger, IsEmpty());
}

TEST(TraceOptions, UnrecognisedParametersKeepLevelZero) {
  for (const char* parameter : {"-D", "-tx", "t", "--t", "-T"}) {
    TempFolder folder;
    RecordedLog recorded;
    const std::string content = run_service_start(recorded, folder, {"xvVistrell", parameter});
    EXPECT_TRUE(std::regex_match(content, kHeader)) << parameter;
    EXPECT_EQ(recorded.log.level(), 0) << parameter;
  }
}

TEST(TraceOptions, SlashTStartsAtTheFirstExitLine) {
  TempFolder folder;
  RecordedLog recorded;
  const std::string content = run_service_start(recorded, folder, {"xvVistrell", "/t"});
  ASSERT_TRUE(std::regex_search(content, std::regex("^svc\\.exe  ")));
  const auto lines = lines_after_header(content);
  ASSERT_EQ(lines.size(), 6u) << content;
  EXPECT_EQ(lines[0], "<< process_command_line_arguments");
  EXPECT_EQ(strip_time(lines[1]), "Windows:");
  EXPECT_EQ(lines[2], "  Major version: 5");
  EXPECT_EQ(lines[3], "<< ServiceStart");
  // The two filtered entry lines leave the counter 4 below zero.
  EXPECT_EQ(lines[4], ">> ServiceExecute");
  EXPECT_EQ(lines[5], "<< ServiceExecute");
  EXPECT_EQ(recorded.log.indent(), -4);
}

TEST(TraceOptions, LastMatchingParameterWins) {
  const struct {
    std::vector<std::string> parameters;
    int level;
  } cases[] = {
      {{"xvVistrell", "-t", "-d"}, 1}, {{"xvVistrell", "-d", "-t"}, 2},
      {{"xvVistrell", "/d"}, 1},       {{"-t"}, 2},
      {{"xvVistrell", "-t", "-D"}, 2},
  };
  for (const auto& c : cases) {
    TraceLog log([](const std::string&) {});
    auto parameters = c.parameters;
    log.parse_options(&parameters);
    EXPECT_EQ(log.level(), c.level) << ::testing::PrintToString(c.parameters);
  }
}

TEST(TraceOptions, SlashesAreRewrittenInTheGivenList) {
  TraceLog log([](const std::string&) {});
  std::vector<std::string> parameters{"xvVistrell", "/t", "a/b/c"};
  log.parse_options(&parameters);
  EXPECT_THAT(parameters, ElementsAre("xvVistrell", "-t", "a-b-c"));
  log.parse_options(nullptr);
  EXPECT_EQ(log.level(), 2);
}

TEST(TraceOptions, LevelOneWritesMessagesOnlyAndFilteredLinesDoNotIndent) {
  TempFolder folder;
  RecordedLog recorded;
  const std::string content = run_service_start(recorded, folder, {"xvVistrell", "-t", "-d"});
  const auto lines = lines_after_header(content);
  ASSERT_EQ(lines.size(), 2u) << content;
  EXPECT_EQ(strip_time(lines[0]), "Windows:");
  EXPECT_EQ(lines[1], "  Major version: 5");
  EXPECT_EQ(recorded.log.indent(), 0);
}

TEST(TraceIndent, EntryMessageExitAtFourSixFour) {
  TempFolder folder;
  RecordedLog recorded;
  std::vector<std::string> parameters{"-t"};
  recorded.log.open(folder.file("svc.exe"));
  recorded.log.parse_options(&parameters);
  recorded.log.trace(">> a", 2);
  recorded.log.trace(">> b", 2);
  ASSERT_EQ(recorded.log.indent(), 4);
  recorded.log.trace(">> c", 2);
  recorded.log.trace("message", 1);
  recorded.log.trace("<< c", 2);
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")),
            ">> a\r\n  >> b\r\n    >> c\r\n      message\r\n    << c\r\n");
  EXPECT_THAT(recorded.debugger,
              ElementsAre(">> a\n", "  >> b\n", "    >> c\n", "      message\n", "    << c\n"));
}

TEST(TraceIndent, LessThanMessageMovesBackAndCounterIsNeverClamped) {
  TraceLog log([](const std::string&) {});
  std::vector<std::string> parameters{"-t"};
  log.parse_options(&parameters);
  log.trace(">> a", 2);
  log.trace("<not an exit line", 1);
  EXPECT_EQ(log.indent(), 0);
  log.trace("<< x", 2);
  log.trace("<< y", 2);
  EXPECT_EQ(log.indent(), -4);
  log.trace(">> z", 2);
  EXPECT_EQ(log.indent(), -2);
}

TEST(TraceIndent, EmptyTextIsNotWrittenAndDoesNotMove) {
  RecordedLog recorded;
  std::vector<std::string> parameters{"-t"};
  recorded.log.parse_options(&parameters);
  recorded.log.trace("", 1);
  EXPECT_THAT(recorded.debugger, IsEmpty());
  EXPECT_EQ(recorded.log.indent(), 0);
}

TEST(TraceText, MultiLineTextIndentsOnlyTheFirstLine) {
  TempFolder folder;
  RecordedLog recorded;
  std::vector<std::string> parameters{"-t"};
  recorded.log.open(folder.file("svc.exe"));
  recorded.log.parse_options(&parameters);
  recorded.log.trace(">> a", 2);
  recorded.log.trace("Windows:\n  Major version: 6\n  Build: 1", 1);
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")),
            ">> a\r\n  Windows:\r\n  Major version: 6\r\n  Build: 1\r\n");
  EXPECT_EQ(recorded.debugger.back(), "  Windows:\n  Major version: 6\n  Build: 1\n");
}

TEST(TraceText, TimedLineStartsWithTheLocalTime) {
  RecordedLog recorded;
  std::vector<std::string> parameters{"-d"};
  recorded.log.parse_options(&parameters);
  recorded.log.trace_timed("Started XV Vistrell", 1);
  ASSERT_EQ(recorded.debugger.size(), 1u);
  const std::string& line = recorded.debugger[0];
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(strip_time(line.substr(0, line.size() - 1)), "Started XV Vistrell");
}

TEST(TraceHeader, NameAndBuildStampWhateverTheLevel) {
  TempFolder folder;
  RecordedLog recorded;
  recorded.log.open(folder.file("svc.exe"));
  recorded.log.write_header("C:\\some\\folder\\svc.exe");
  EXPECT_TRUE(std::regex_match(read_whole_file(folder.file("svc.txt")), kHeader));
  EXPECT_THAT(recorded.debugger, IsEmpty());
  EXPECT_TRUE(
      std::regex_match(trace_build_stamp(),
                       std::regex("  [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}  [0-2][0-9]:[0-5][0-9]:[0-5][0-9]")));
}

TEST(TraceFile, NameDerivedFromTheExecutable) {
  const struct {
    const char* executable;
    const char* log;
  } cases[] = {
      {"C:\\Program Files\\XV\\xvVistrell.exe", "C:\\Program Files\\XV\\xvVistrell.txt"},
      {"C:\\a.b\\service", "C:\\a.b\\service.txt"},
      {"C:\\a\\x.y.exe", "C:\\a\\x.y.txt"},
      {"svc.exe", "svc.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(trace_log_file_name(c.executable), c.log);
}

TEST(TraceFile, FallbackPathDelimiterRules) {
  const struct {
    const char* appdata;
    const char* log;
  } cases[] = {
      {"C:\\Data", "C:\\Data\\svc.txt"},
      {"C:\\Data\\", "C:\\Data\\svc.txt"},
      {"", "\\svc.txt"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(trace_log_fallback_path(c.appdata, "Z:\\locked\\svc.txt"), c.log) << c.appdata;
}

TEST(TraceFile, UnwritableFolderFallsBackToAppdata) {
  for (const char* delimiter : {"", "\\"}) {
    TempFolder appdata;
    ScopedEnvironment env("APPDATA", (appdata.path() + delimiter).c_str());
    RecordedLog recorded;
    recorded.log.open("C:\\no\\such\\folder\\svc.exe");
    std::vector<std::string> parameters{"-d"};
    recorded.log.parse_options(&parameters);
    recorded.log.trace("hello", 1);
    EXPECT_EQ(read_whole_file(appdata.file("svc.txt")), "hello\r\n") << "delimiter '" << delimiter << "'";
  }
}

TEST(TraceFile, NeitherLocationOpenStillCopiesToTheDebugger) {
  ScopedEnvironment env("APPDATA", "C:\\no\\such\\appdata");
  RecordedLog recorded;
  recorded.log.open("C:\\no\\such\\folder\\svc.exe");
  std::vector<std::string> parameters{"-d"};
  recorded.log.parse_options(&parameters);
  recorded.log.write_header("svc.exe");
  recorded.log.trace("hello", 1);
  EXPECT_THAT(recorded.debugger, ElementsAre("hello\n"));
}

TEST(TraceFile, ExistingLogIsEmptiedByTheNextStart) {
  TempFolder folder;
  {
    std::ofstream old(folder.file("svc.txt"));
    old << "from an earlier run\n";
  }
  RecordedLog recorded;
  recorded.log.open(folder.file("svc.exe"));
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")), "");
}

TEST(TraceFile, EveryLineIsOnDiskBeforeClose) {
  TempFolder folder;
  RecordedLog recorded;
  std::vector<std::string> parameters{"-d"};
  recorded.log.open(folder.file("svc.exe"));
  recorded.log.parse_options(&parameters);
  recorded.log.trace("first", 1);
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")), "first\r\n");
}

TEST(TraceFile, NothingReachesTheFileAfterClose) {
  TempFolder folder;
  RecordedLog recorded;
  std::vector<std::string> parameters{"-d"};
  recorded.log.open(folder.file("svc.exe"));
  recorded.log.parse_options(&parameters);
  recorded.log.trace("before", 1);
  recorded.log.close();
  recorded.log.trace("after", 1);
  recorded.log.write_header("svc.exe");
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")), "before\r\n");
  recorded.log.close();  // a second close is harmless
}

// The folder of this test binary, where the exit-time child sits.
std::string own_folder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  const std::string own(path, length);
  return own.substr(0, own.find_last_of('\\') + 1);
}

// A process that ends normally closes its log at exit, and nothing traced
// after that reaches the file (the child checks both after every other
// static object is gone and tells by its exit code).
TEST(TraceFile, ClosedAtProcessExit) {
  TempFolder folder;
  std::string command = "\"" + own_folder() + "trace_exit_child.exe\" \"" + folder.file("svc.exe") + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(
      CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
      << GetLastError();
  CloseHandle(child.hThread);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  GetExitCodeProcess(child.hProcess, &exit_code);
  CloseHandle(child.hProcess);
  EXPECT_EQ(exit_code, 0u) << "2: still open at exit, 3: written after the close";
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")), "before exit\r\n");
}

TEST(TraceConcurrency, ThreadsWriteWholeLines) {
  TempFolder folder;
  std::atomic<int> copies{0};
  TraceLog log([&copies](const std::string&) { ++copies; });
  std::vector<std::string> parameters{"-t"};
  log.open(folder.file("svc.exe"));
  log.parse_options(&parameters);

  constexpr int kThreads = 4;
  constexpr int kLines = 2500;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      const std::string payload(40, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) log.trace(std::to_string(t) + ":" + payload, 1);
    });
  }
  for (auto& writer : writers) writer.join();

  std::istringstream content(read_whole_file(folder.file("svc.txt")));
  std::vector<int> counts(kThreads, 0);
  int lines = 0;
  for (std::string line; std::getline(content, line); ++lines) {
    ASSERT_EQ(line.size(), 43u) << "torn line: " << line;
    ASSERT_EQ(line.back(), '\r');
    const int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line.substr(1, 41), ":" + std::string(40, static_cast<char>('a' + t)));
    ++counts[t];
  }
  EXPECT_EQ(lines, kThreads * kLines);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kLines) << t;
  EXPECT_EQ(copies.load(), kThreads * kLines);
}

}  // namespace

// The crash handler's access: waits for the lock only as long as it is told,
// writes whatever the level, flush left.
TEST(TraceCrashAccess, LineIsWrittenWholeAndFlushLeftWhateverTheLevel) {
  TempFolder folder;
  TraceLog log([](const std::string&) {});
  log.open(folder.file("svc.exe"));
  EXPECT_TRUE(log.try_write_line("12:00:00 crashed at level 0", 0));
  std::vector<std::string> parameters{"-t"};
  log.parse_options(&parameters);
  log.trace(">> ServiceExecute", 2);
  EXPECT_TRUE(log.try_write_line("12:00:01 crashed inside", 0));
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")),
            "12:00:00 crashed at level 0\r\n>> ServiceExecute\r\n12:00:01 crashed inside\r\n");
  char buffer[MAX_PATH];
  ASSERT_TRUE(log.try_copy_folder(buffer, sizeof buffer, 0));
  EXPECT_EQ(std::string(buffer), folder.path());
  EXPECT_FALSE(log.try_copy_folder(buffer, folder.path().size(), 0)) << "folder longer than the buffer";
}

TEST(TraceCrashAccess, NoFileNoLineNoFolder) {
  TraceLog log([](const std::string&) {});
  char buffer[MAX_PATH];
  EXPECT_FALSE(log.try_write_line("lost", 0));
  EXPECT_FALSE(log.try_copy_folder(buffer, sizeof buffer, 0));
  TempFolder folder;
  log.open(folder.file("svc.exe"));
  log.close();
  EXPECT_FALSE(log.try_write_line("after close", 0));
  EXPECT_FALSE(log.try_copy_folder(buffer, sizeof buffer, 0));

  ScopedEnvironment env("APPDATA", "C:\\no\\such\\appdata");
  TraceLog nowhere([](const std::string&) {});
  nowhere.open("C:\\no\\such\\folder\\svc.exe");
  EXPECT_FALSE(nowhere.try_write_line("neither location opened", 0));
  EXPECT_FALSE(nowhere.try_copy_folder(buffer, sizeof buffer, 0));
}

TEST(TraceCrashAccess, FolderIsWhereTheLogWent) {
  TempFolder appdata;
  ScopedEnvironment env("APPDATA", appdata.path().c_str());
  TraceLog log([](const std::string&) {});
  log.open("C:\\no\\such\\folder\\svc.exe");
  char buffer[MAX_PATH];
  ASSERT_TRUE(log.try_copy_folder(buffer, sizeof buffer, 0));
  EXPECT_EQ(std::string(buffer), appdata.path());
}

TEST(TraceCrashAccess, HeldLockIsWaitedForOnlyAsLongAsTold) {
  TempFolder folder;
  // The debugger copy is made under the lock: it holds the lock until the
  // crash access has returned (or, if that waited, for at most 3 s).
  ScopedHandle inside(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  TraceLog log([&](const std::string&) {
    SetEvent(inside.get());
    WaitForSingleObject(done.get(), 3000);
  });
  std::vector<std::string> parameters{"-d"};
  log.open(folder.file("svc.exe"));
  log.parse_options(&parameters);
  std::thread holder([&log] { log.trace("held", 1); });
  ASSERT_EQ(WaitForSingleObject(inside.get(), 10000), WAIT_OBJECT_0);
  const bool written = log.try_write_line("lost line", 0);
  char buffer[MAX_PATH];
  const bool folder_copied = log.try_copy_folder(buffer, sizeof buffer, 0);
  SetEvent(done.get());
  const bool written_after_wait = log.try_write_line("crash line", 10000);
  holder.join();
  EXPECT_FALSE(written);
  EXPECT_FALSE(folder_copied);
  EXPECT_TRUE(written_after_wait);
  EXPECT_EQ(read_whole_file(folder.file("svc.txt")), "held\r\ncrash line\r\n");
}
