#include "crash/crash_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct LocationCase {
  const char* name;
  const char* module_path;
  std::uintptr_t base;
  std::uintptr_t address;
  const char* expected;
};

class CodeLocation : public ::testing::TestWithParam<LocationCase> {};

TEST_P(CodeLocation, NamesTheModuleAndTheOffsetIntoIt) {
  const LocationCase& row = GetParam();
  char buffer[128];
  FixedText text(buffer, sizeof buffer);
  add_code_location(&text, row.module_path, row.base, row.address);
  EXPECT_STREQ(buffer, row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CodeLocation,
    ::testing::Values(LocationCase{"ModuleInTheSystemFolder", "C:\\windows\\system32\\atipdlxx.dll",
                                   0x10000000, 0x10001234, "atipdlxx.dll+0x1234"},
                      LocationCase{"AtTheModuleBase", "C:\\windows\\system32\\atipdlxx.dll", 0x10000000,
                                   0x10000000, "atipdlxx.dll+0x0"},
                      LocationCase{"ForwardSlashesAndUpperHex", "C:/Program Files/XV Vistrell/xvVistrell.exe",
                                   0x00400000, 0x0040ABCD, "xvVistrell.exe+0xABCD"},
                      LocationCase{"NoModule", nullptr, 0, 0x0012FF00, "0x0012FF00"},
                      LocationCase{"EmptyModulePath", "", 0, 0x7FFE0000, "0x7FFE0000"},
                      LocationCase{"AddressBelowTheModule", "C:\\x\\a.dll", 0x10000000, 0x0FFFFFFF,
                                   "0x0FFFFFFF"}),
    [](const ::testing::TestParamInfo<LocationCase>& row) { return std::string(row.param.name); });

TEST(CrashReport, WholeTextWithTheDumpPath) {
  CrashFacts facts;
  facts.code = 0xC0000005;
  facts.address = 0x10001234;
  facts.module_path = "C:\\windows\\system32\\atipdlxx.dll";
  facts.module_base = 0x10000000;
  facts.thread_id = 28;
  facts.dump_path = "C:\\Program Files\\XV Vistrell\\xvVistrell-20261209-001502-007.dmp";
  char buffer[512];
  format_crash_report(buffer, sizeof buffer, facts);
  EXPECT_STREQ(buffer,
               "Unhandled exception 0xC0000005 at atipdlxx.dll+0x1234 on thread 28. Minidump being written: "
               "C:\\Program Files\\XV Vistrell\\xvVistrell-20261209-001502-007.dmp");
}

TEST(CrashReport, WholeTextWhenNoDumpWasWritten) {
  CrashFacts facts;
  facts.code = 0x80000003;
  facts.address = 0x0012FF00;
  facts.thread_id = 4096;
  facts.dump_path = "C:\\x\\y.dmp";
  facts.dump_error = ERROR_ACCESS_DENIED;
  char buffer[512];
  format_crash_report(buffer, sizeof buffer, facts);
  EXPECT_STREQ(buffer,
               "Unhandled exception 0x80000003 at 0x0012FF00 on thread 4096. No minidump written, system "
               "error 5.");
}

TEST(CrashReport, ShortBufferIsCutAndStaysTerminated) {
  CrashFacts facts;
  facts.code = 0xC0000005;
  facts.dump_path = "C:\\dump.dmp";
  char buffer[32];
  std::memset(buffer, 'X', sizeof buffer);
  format_crash_report(buffer, 24, facts);
  EXPECT_STREQ(buffer, "Unhandled exception 0xC");
  EXPECT_EQ(buffer[24], 'X') << "wrote past the given size";
}

TEST(DumpPath, NameSortsByTimeWhateverTheTrailingDelimiter) {
  SYSTEMTIME time = {};
  time.wYear = 2026;
  time.wMonth = 3;
  time.wDay = 9;
  time.wHour = 7;
  time.wMinute = 5;
  time.wSecond = 2;
  time.wMilliseconds = 41;
  char buffer[MAX_PATH];
  ASSERT_EQ(format_dump_path(buffer, sizeof buffer, "C:\\logs", "xvVistrell", time), 0u);
  EXPECT_STREQ(buffer, "C:\\logs\\xvVistrell-20260309-070502-041.dmp");
  ASSERT_EQ(format_dump_path(buffer, sizeof buffer, "C:\\", "xvVistrell", time), 0u);
  EXPECT_STREQ(buffer, "C:\\xvVistrell-20260309-070502-041.dmp");
  ASSERT_EQ(format_dump_path(buffer, sizeof buffer, "\\\\server\\logs", "xvVistrell", time), 0u);
  EXPECT_STREQ(buffer, "\\\\server\\logs\\xvVistrell-20260309-070502-041.dmp");
}

// A path that does not fit, and a folder that would put the dump in the
// current one (System32 for a service) and have the pruning look at "\".
TEST(DumpPath, PathThatDoesNotFitOrIsNotFullIsRefused) {
  SYSTEMTIME time = {};
  char buffer[30];
  EXPECT_EQ(format_dump_path(buffer, sizeof buffer, "C:\\logs", "xvVistrell", time),
            DWORD{ERROR_FILENAME_EXCED_RANGE});
  for (const char* folder : {"", "logs", "C:", "C:logs", "\\logs"})
    EXPECT_EQ(format_dump_path(buffer, sizeof buffer, folder, "x", time), DWORD{ERROR_PATH_NOT_FOUND})
        << folder;
}

TEST(CrashExitCode, IsNeverZero) {
  EXPECT_EQ(crash_exit_code(0xC0000005), 0xC0000005u);
  EXPECT_EQ(crash_exit_code(0), 1u);
}

}  // namespace
