// The two kinds of error that travel through the service.
//
// A TextError is a bare message: the display side and the resolution change
// raise their failures and their "we're done" outcomes this way. An Exception
// carries its message in an object of the runtime's error family (the WMI
// layer, operating-system failures). Neither derives from the other nor from a
// common base, so a handler that catches one kind always lets the other pass.
#pragma once

#include <windows.h>

#include <string>

class TextError {
 public:
  explicit TextError(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class Exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  virtual ~Exception() = default;
  const std::string& message() const { return message_; }
  // The class name shown by the "Application Error" box.
  virtual const char* class_name() const { return "Exception"; }

 private:
  std::string message_;
};

// An operating-system failure, raised with the error number.
class EOSError : public Exception {
 public:
  explicit EOSError(DWORD code);
  DWORD code() const { return code_; }
  const char* class_name() const override { return "EOSError"; }

 private:
  DWORD code_;
};

// The system's text for an error number, as FormatMessageA renders it, without
// the trailing line break; empty when the system has none.
std::string system_error_text(DWORD code);

// "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed"
// for code 0.
std::string os_error_message(DWORD code);

// Raises EOSError for GetLastError().
[[noreturn]] void raise_last_os_error();
