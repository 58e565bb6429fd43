#include "crash/crash_text.h"

namespace {

const char* file_name_of(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  return name;
}

// "C:\..." or "\\server\share\..." (and "\\?\..."): not relative to the
// current folder or drive.
bool full_path(const char* folder) {
  const bool letter = (folder[0] >= 'A' && folder[0] <= 'Z') || (folder[0] >= 'a' && folder[0] <= 'z');
  if (letter) return folder[1] == ':' && folder[2] == '\\';
  return folder[0] == '\\' && folder[1] == '\\';
}

}  // namespace

FixedText::FixedText(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {
  if (size_ > 0) buffer_[0] = '\0';
}

void FixedText::add_char(char c) {
  if (length_ + 1 >= size_) {
    truncated_ = true;
    return;
  }
  buffer_[length_++] = c;
  buffer_[length_] = '\0';
}

FixedText& FixedText::add(const char* text) {
  for (const char* p = text; *p != '\0' && !truncated_; ++p) add_char(*p);
  return *this;
}

FixedText& FixedText::add_hex(std::uint32_t value, int min_digits) {
  char digits[8];
  int count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  add("0x");
  for (int i = count; i < min_digits && i < 8; ++i) add_char('0');
  while (count > 0) add_char(digits[--count]);
  return *this;
}

FixedText& FixedText::add_decimal(std::uint32_t value, int width) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = count; i < width; ++i) add_char('0');
  while (count > 0) add_char(digits[--count]);
  return *this;
}

void add_code_location(FixedText* text, const char* module_path, std::uintptr_t module_base,
                       std::uintptr_t address) {
  if (module_path == nullptr || *module_path == '\0' || address < module_base) {
    text->add_hex(static_cast<std::uint32_t>(address), 8);
    return;
  }
  text->add(file_name_of(module_path)).add("+").add_hex(static_cast<std::uint32_t>(address - module_base), 1);
}

void format_crash_report(char* buffer, std::size_t size, const CrashFacts& facts) {
  FixedText text(buffer, size);
  text.add("Unhandled exception ").add_hex(facts.code, 8).add(" at ");
  add_code_location(&text, facts.module_path, facts.module_base, facts.address);
  text.add(" on thread ").add_decimal(facts.thread_id, 1).add(". ");
  if (facts.dump_error != 0 || facts.dump_path == nullptr) {
    text.add("No minidump written, system error ").add_decimal(facts.dump_error, 1).add(".");
  } else {
    text.add("Minidump being written: ").add(facts.dump_path);
  }
}

DWORD format_dump_path(char* buffer, std::size_t size, const char* folder, const char* base_name,
                       const SYSTEMTIME& time) {
  FixedText text(buffer, size);
  if (!full_path(folder)) return ERROR_PATH_NOT_FOUND;
  text.add(folder);
  if (text.length() > 0 && buffer[text.length() - 1] != '\\') text.add("\\");
  text.add(base_name).add("-");
  text.add_decimal(time.wYear, 4).add_decimal(time.wMonth, 2).add_decimal(time.wDay, 2).add("-");
  text.add_decimal(time.wHour, 2).add_decimal(time.wMinute, 2).add_decimal(time.wSecond, 2).add("-");
  text.add_decimal(time.wMilliseconds, 3).add(".dmp");
  return text.truncated() ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

void format_time_prefix(FixedText* text, const SYSTEMTIME& time) {
  text->add_decimal(time.wHour, 2).add(":").add_decimal(time.wMinute, 2).add(":");
  text->add_decimal(time.wSecond, 2).add(" ");
}

DWORD crash_exit_code(DWORD exception_code) { return exception_code != 0 ? exception_code : 1; }

DWORD recorded_code(DWORD exception_code) {
  return exception_code == kGccThrowCode ? kCppTerminationCode : exception_code;
}
