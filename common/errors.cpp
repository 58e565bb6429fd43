#include "common/errors.h"

#include <cstdio>

#include "common/scoped.h"

EOSError::EOSError(DWORD code) : Exception(os_error_message(code)), code_(code) {}

std::string system_error_text(DWORD code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                      nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  const ScopedLocalMemory owned(buffer);
  std::string text;
  if (length != 0 && buffer != nullptr) text.assign(buffer, length);
  // Windows ends its texts with CR LF; a message carries none of its own.
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

std::string os_error_message(DWORD code) {
  if (code == 0) return "A call to an OS function failed";
  char head[64];
  std::snprintf(head, sizeof head, "System Error.  Code: %d.\r\n", static_cast<int>(code));
  return head + system_error_text(code);
}

void raise_last_os_error() { throw EOSError(GetLastError()); }
