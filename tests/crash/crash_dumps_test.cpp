#include "crash/crash_dumps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/crash/crash_test_support.h"

namespace {

using Names = std::set<std::string>;

struct RotationCase {
  const char* name;
  std::vector<std::string> dumps;  // files named like dumps of "xv", in any order
  int keep;
  Names left;
};

class DumpRotation : public ::testing::TestWithParam<RotationCase> {};

// Files that are not this program's dumps are never touched.
const Names kOthers = {"xv.txt", "other-20200101-000000-000.dmp", "xv-notes.log",
                       "xvx-20000101-000000-000.dmp"};

TEST_P(DumpRotation, OldestGoSoTheNextDumpMakesTheLimit) {
  const RotationCase& row = GetParam();
  CrashTempFolder folder;
  for (const std::string& name : kOthers) folder.touch(name);
  for (const std::string& name : row.dumps) folder.touch(name);

  const int deleted = prune_dumps(folder.path().c_str(), "xv", row.keep);

  Names expected = row.left;
  expected.insert(kOthers.begin(), kOthers.end());
  EXPECT_EQ(folder.names(), expected);
  EXPECT_EQ(deleted, static_cast<int>(row.dumps.size() - row.left.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DumpRotation,
    ::testing::Values(RotationCase{"FewerThanTheLimitStay",
                                   {"xv-20261201-100000-000.dmp", "xv-20261202-100000-000.dmp"},
                                   5,
                                   {"xv-20261201-100000-000.dmp", "xv-20261202-100000-000.dmp"}},
                      RotationCase{"AtTheLimitTheOldestGoes",
                                   {"xv-20261205-000000-000.dmp", "xv-20261201-000000-000.dmp",
                                    "xv-20261204-000000-000.dmp", "xv-20261203-000000-000.dmp",
                                    "xv-20261202-000000-000.dmp"},
                                   5,
                                   {"xv-20261202-000000-000.dmp", "xv-20261203-000000-000.dmp",
                                    "xv-20261204-000000-000.dmp", "xv-20261205-000000-000.dmp"}},
                      RotationCase{"CrashLoopLeavesTheNewestFour",
                                   {"xv-20261209-000001-000.dmp", "xv-20261209-000001-500.dmp",
                                    "xv-20261209-000002-000.dmp", "xv-20261209-000003-000.dmp",
                                    "xv-20261209-000004-000.dmp", "xv-20261208-235959-999.dmp",
                                    "xv-20261209-000005-000.dmp"},
                                   5,
                                   {"xv-20261209-000002-000.dmp", "xv-20261209-000003-000.dmp",
                                    "xv-20261209-000004-000.dmp", "xv-20261209-000005-000.dmp"}},
                      RotationCase{"KeepingOneLeavesNone",
                                   {"xv-20261201-000000-000.dmp", "xv-20261202-000000-000.dmp"},
                                   1,
                                   {}}),
    [](const ::testing::TestParamInfo<RotationCase>& row) { return std::string(row.param.name); });

TEST(DumpRotation, MissingFolderDeletesNothing) {
  EXPECT_EQ(prune_dumps("C:\\no\\such\\folder", "xv", 5), 0);
}

DWORD handle_count() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// The file handle and the library go again on every way out.
class MinidumpWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    dbghelp_loaded_before_ = GetModuleHandleA("dbghelp.dll") != nullptr;
    handles_before_ = handle_count();
  }
  void TearDown() override {
    EXPECT_EQ(handle_count(), handles_before_) << "a handle was left open";
    if (!dbghelp_loaded_before_) {
      EXPECT_EQ(GetModuleHandleA("dbghelp.dll"), nullptr) << "dbghelp.dll left loaded";
    }
  }

  CrashTempFolder folder_;
  bool dbghelp_loaded_before_ = false;
  DWORD handles_before_ = 0;
};

TEST_F(MinidumpWriter, WritesADumpOfThisProcess) {
  const std::string path = folder_.file("xv-1.dmp");
  ASSERT_EQ(write_minidump(path.c_str(), nullptr, GetCurrentThreadId()), 0u);
  EXPECT_EQ(read_whole_file(path).substr(0, 4), "MDMP");
}

TEST_F(MinidumpWriter, UnwritablePathGivesTheErrorAndLeavesNoFile) {
  const std::string path = folder_.file("missing\\xv-1.dmp");
  EXPECT_EQ(write_minidump(path.c_str(), nullptr, GetCurrentThreadId()),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(folder_.names(), Names{});
}

}  // namespace
