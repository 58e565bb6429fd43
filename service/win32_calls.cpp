#include "service/win32_calls.h"

Win32Calls& win32_calls() {
  static Win32Calls calls;
  return calls;
}
