// A test's waits, stretched where everything runs several times slower: the
// emulated machine sets XV_TEST_TIME_SCALE, which scales CTest's time limits
// too (tests/time_scale.cmake).
#pragma once

#include <windows.h>

#include <cstdlib>

inline int scaled_milliseconds(int milliseconds) {
  char text[16] = "";
  const DWORD length = GetEnvironmentVariableA("XV_TEST_TIME_SCALE", text, sizeof text);
  const int scale = length > 0 && length < sizeof text ? std::atoi(text) : 1;
  return milliseconds * (scale > 1 ? scale : 1);
}
