// The package's wait for a program file that a process still runs
// (packaging/image_release): a copy of this test program, started suspended,
// holds its image as a running process does.
#include "packaging/image_release.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/scoped.h"
#include "tests/common/temp_folder.h"

TEST(ImageRelease, WaitsWhileAProcessRunsTheFileAndNoLonger) {
  const TempFolder folder;
  const std::string image = folder.file("holder.exe");
  char self[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  ASSERT_TRUE(CopyFileA(self, image.c_str(), TRUE) &&
              CreateProcessA(image.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                             nullptr, &startup, &started));
  const ScopedHandle thread(started.hThread), holder(started.hProcess);

  EXPECT_TRUE(wait_for_image_release(folder.file("missing.exe"), 30000, 10));  // nothing to wait for
  EXPECT_FALSE(wait_for_image_release(image, 200, 10));
  std::atomic<bool> ending{false};
  std::thread ender([&] {
    Sleep(300);
    ending = true;
    TerminateProcess(holder.get(), 0);
  });
  EXPECT_TRUE(wait_for_image_release(image, 30000, 10));
  EXPECT_TRUE(ending);
  ender.join();
  WaitForSingleObject(holder.get(), 10000);  // before the folder goes
}
