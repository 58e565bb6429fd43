// Helpers of the crash handler's tests.
#pragma once

#include <windows.h>

#include <string>

#include "tests/common/temp_folder.h"

// A folder of the crash handler's own for each test.
class CrashTempFolder : public TempFolder {
 public:
  CrashTempFolder() : TempFolder("xvcrash") {}
};
