// The package's wait for a program file that a process still runs
// (packaging/image_release). A suspended process holds its image as a running
// one does: a copy of this test program, started suspended.
#include "packaging/image_release.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/scoped.h"
#include "tests/common/temp_folder.h"

namespace {

class ImageRelease : public testing::Test {
 protected:
  void SetUp() override {
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    ASSERT_TRUE(CopyFileA(self, image_.c_str(), TRUE));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    ASSERT_TRUE(CreateProcessA(image_.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &started));
    CloseHandle(started.hThread);
    holder_.reset(started.hProcess);
  }
  void TearDown() override {
    if (!holder_) return;
    TerminateProcess(holder_.get(), 0);
    WaitForSingleObject(holder_.get(), 10000);
  }

  TempFolder folder_;
  const std::string image_ = folder_.file("holder.exe");
  ScopedHandle holder_;
};

TEST_F(ImageRelease, ReturnsOnlyOnceTheProcessHasEnded) {
  std::atomic<bool> ending{false};
  std::thread ender([&] {
    Sleep(300);
    ending = true;
    TerminateProcess(holder_.get(), 0);
  });
  EXPECT_TRUE(wait_for_image_release(image_, 30000, 10));
  EXPECT_TRUE(ending);
  ender.join();
}

TEST_F(ImageRelease, GivesUpAtTheEndOfItsTime) {
  EXPECT_FALSE(wait_for_image_release(image_, 200, 10));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(holder_.get(), 0));
}

TEST_F(ImageRelease, AFileThatCannotBeOpenedIsNotWaitedFor) {
  EXPECT_TRUE(wait_for_image_release(folder_.file("missing.exe"), 30000, 10));
}

}  // namespace
