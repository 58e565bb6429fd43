// A process that opens the trace log for the executable path it is given,
// writes one message at level 1 and returns from main. The log must be
// closed at process exit: an object destroyed after every other static
// object of the process checks it and sets the exit code.
//   0: the log file was closed, and a line traced after that did not reach it
//   2: the log file was still open
//   3: a line traced after the close reached the file
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trace/trace_log.h"

namespace {

// Plain storage: the check runs after the process's strings are destroyed.
char log_path[MAX_PATH] = "";

bool file_holds(const char* expected) {
  HANDLE file = CreateFileA(log_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char content[256];
  DWORD length = 0;
  const BOOL read = ReadFile(file, content, sizeof content, &length, nullptr);
  CloseHandle(file);
  return read && length == std::strlen(expected) && std::memcmp(content, expected, length) == 0;
}

struct CheckAfterEverything {
  ~CheckAfterEverything() {
    if (log_path[0] == '\0') return;
    // No sharing: this open succeeds only when nobody holds the file open.
    HANDLE file = CreateFileA(log_path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) _exit(2);
    CloseHandle(file);
    trace("after exit", 1);
    _exit(file_holds("before exit\r\n") ? 0 : 3);
  }
};
// Constructed before, so destroyed after, the static objects of default
// priority, the trace log's among them.
__attribute__((init_priority(101))) CheckAfterEverything check_after_everything;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  open_trace_log(argv[1]);
  std::vector<std::string> parameters{"-d"};
  parse_trace_options(&parameters);
  trace("before exit", 1);
  const std::string name = trace_log_file_name(argv[1]);
  if (name.size() >= sizeof log_path) return 1;
  std::memcpy(log_path, name.c_str(), name.size() + 1);
  return 0;
}
