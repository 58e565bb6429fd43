// Texts of the crash handler, built in fixed buffers: they run inside a
// crashed process, where the heap may be broken, so nothing here allocates.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// A text in a caller's buffer, always NUL-terminated; what does not fit is
// cut off and remembered as truncated.
class FixedText {
 public:
  FixedText(char* buffer, std::size_t size);

  FixedText& add(const char* text);
  // "0x" and the value in upper-case hexadecimal, at least min_digits digits.
  FixedText& add_hex(std::uint32_t value, int min_digits);
  // The value in decimal, zero-padded to at least width digits.
  FixedText& add_decimal(std::uint32_t value, int width);

  const char* c_str() const { return buffer_; }
  std::size_t length() const { return length_; }
  bool truncated() const { return truncated_; }

 private:
  void add_char(char c);

  char* buffer_;
  std::size_t size_;
  std::size_t length_ = 0;
  bool truncated_ = false;
};

// What the handler found out about one crash.
struct CrashFacts {
  DWORD code = 0;                     // the exception code
  std::uintptr_t address = 0;         // where it was raised
  const char* module_path = nullptr;  // the module the address lies in; null or empty: none
  std::uintptr_t module_base = 0;
  DWORD thread_id = 0;
  const char* dump_path = nullptr;  // the minidump being written
  DWORD dump_error = 0;             // non-zero: no minidump, for this system error
};

// "atipdlxx.dll+0x1234" (the module's file name and the offset into it), or
// the bare address "0x0040ABCD" when it lies in no module.
void add_code_location(FixedText* text, const char* module_path, std::uintptr_t module_base,
                       std::uintptr_t address);

// The one text of the event-log entry and of the trace line, for example
// "Unhandled exception 0xC0000005 at atipdlxx.dll+0x1234 on thread 28. Minidump being written:
// C:\...\x.dmp": written before the dump.
void format_crash_report(char* buffer, std::size_t size, const CrashFacts& facts);

// FOLDER\BASE-yyyymmdd-hhmmss-mmm.dmp: names that sort in the order of their
// times, so the oldest dump is the first by name. Returns 0, or the system
// error that leaves the crash without a dump: ERROR_PATH_NOT_FOUND when the
// folder is empty or not a full path ("C:\..." or "\\server\..."), since a
// relative name would land in the current folder (System32 for a service),
// ERROR_FILENAME_EXCED_RANGE when the path does not fit.
DWORD format_dump_path(char* buffer, std::size_t size, const char* folder, const char* base_name,
                       const SYSTEMTIME& time);

// "hh:mm:ss " in front of a trace line, as the timed trace messages have.
void format_time_prefix(FixedText* text, const SYSTEMTIME& time);

// The codes of the fatal ends that raise no exception of their own: in the
// range Windows leaves to applications, "XV" in the middle.
constexpr DWORD kCppTerminationCode = 0xE0585601;    // std::terminate: an uncaught C++ exception
constexpr DWORD kAbortCode = 0xE0585602;             // abort()
constexpr DWORD kPureVirtualCallCode = 0xE0585603;   // a call of a pure virtual function
constexpr DWORD kInvalidParameterCode = 0xE0585604;  // the C runtime's invalid-parameter handler
// What GCC's unwinder raises on x86-64 for a C++ exception; when nothing
// catches it the filter sees it.
constexpr DWORD kGccThrowCode = 0x20474343;

// The code a crash is recorded and ends with: GCC's throw becomes the C++
// termination, so both builds name an uncaught C++ exception alike.
DWORD recorded_code(DWORD exception_code);

// The exit code of a crashed process: the exception code, never 0, so the
// service control manager counts a failure.
DWORD crash_exit_code(DWORD exception_code);
