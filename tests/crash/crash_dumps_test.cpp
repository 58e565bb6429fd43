#include "crash/crash_dumps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <set>
#include <string>
#include <vector>

#include "crash/dump_security.h"
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

// The file handle goes again on every way out.
class MinidumpWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(writer_.load(), 0u);
    ASSERT_TRUE(security_.build());
    handles_before_ = handle_count();
  }
  void TearDown() override { EXPECT_EQ(handle_count(), handles_before_) << "a handle was left open"; }

  CrashTempFolder folder_;
  DumpWriter writer_;
  PrivateFileSecurity security_;
  DWORD handles_before_ = 0;
};

// The SIDs the DACL lets in, "owner" for the file's owner (Wine keeps no DACL
// of its own: it maps one onto the Unix mode and reads back SYSTEM, the owner
// and, where other users may read, Everyone).
Names dacl_sids(const std::string& path) {
  PACL dacl = nullptr;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return {"unreadable"};
  Names sids;
  ACCESS_ALLOWED_ACE* ace = nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount && GetAce(dacl, i, reinterpret_cast<void**>(&ace));
       ++i) {
    char* text = nullptr;
    ConvertSidToStringSidA(&ace->SidStart, &text);
    sids.insert(EqualSid(&ace->SidStart, owner) ? "owner" : text != nullptr ? text : "unnamed");
    LocalFree(text);
  }
  LocalFree(descriptor);
  return sids;
}

TEST_F(MinidumpWriter, WritesADumpOnlySystemAndAdministratorsMayOpen) {
  const std::string path = folder_.file("xv-1.dmp");
  ASSERT_EQ(writer_.write(path.c_str(), nullptr, GetCurrentThreadId(), security_.attributes()), 0u);
  EXPECT_EQ(read_whole_file(path).substr(0, 4), "MDMP");
  // SYSTEM and Administrators.
  EXPECT_THAT(dacl_sids(path), ::testing::IsSubsetOf(Names{"owner", "S-1-5-18", "S-1-5-32-544"}));
}

TEST_F(MinidumpWriter, PathItCannotCreateGivesTheErrorAndLeavesWhatIsThere) {
  EXPECT_EQ(writer_.write(folder_.file("missing\\xv-1.dmp").c_str(), nullptr, GetCurrentThreadId(), nullptr),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  folder_.touch("xv-1.dmp");
  EXPECT_EQ(writer_.write(folder_.file("xv-1.dmp").c_str(), nullptr, GetCurrentThreadId(), nullptr),
            static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(folder_.names(), Names{"xv-1.dmp"});
  EXPECT_EQ(read_whole_file(folder_.file("xv-1.dmp")), "xv-1.dmp");
}

// A dump that fails after part of it was written: the disk filled up.
BOOL WINAPI write_half_a_dump(HANDLE, DWORD, HANDLE file, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                              PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
  DWORD written = 0;
  WriteFile(file, "MDMP half", 9, &written, nullptr);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

TEST_F(MinidumpWriter, DumpThatFailsMidwayGivesTheErrorAndLeavesNoFile) {
  const DumpWriter failing(write_half_a_dump);
  EXPECT_EQ(
      failing.write(folder_.file("xv-1.dmp").c_str(), nullptr, GetCurrentThreadId(), security_.attributes()),
      static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(folder_.names(), Names{});
}

}  // namespace
