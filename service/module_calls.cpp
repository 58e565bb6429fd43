#include "service/module_calls.h"

namespace {

OSVERSIONINFOA read_windows_version() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return version;
}

// Read once, at process start.
const OSVERSIONINFOA running_windows = read_windows_version();

}  // namespace

const OSVERSIONINFOA& running_windows_version() { return running_windows; }

ModuleCalls& module_calls() {
  static ModuleCalls calls;
  return calls;
}
