// The running system's version, apart from the module's table of calls
// (module_calls.h), so that the install rule can be linked without the
// firmware and display code that the table names (the package's custom
// action DLL links it).
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
