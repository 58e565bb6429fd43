#include "sim/ati/ati_state.h"

#include <vector>

#include "sim/common/state_key.h"

namespace ati_stand_in {
namespace {

const char kStateKey[] = "Software\\XVSim\\ATI";

sim_state::StateKey state_key(bool writing = false) { return sim_state::StateKey(kStateKey, writing); }

}  // namespace

bool has_setting(const std::string& name) {
  const sim_state::StateKey key = state_key();
  return key.get() != nullptr &&
         RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

DWORD read_number(const std::string& name, DWORD fallback) {
  return state_key().number(name.c_str(), fallback);
}

void write_number(const std::string& name, DWORD value) { state_key(true).set_number(name.c_str(), value); }

std::string read_text(const std::string& name, const std::string& fallback) {
  return state_key().text(name.c_str(), fallback);
}

void write_text(const std::string& name, const std::string& value) {
  state_key(true).set_text(name.c_str(), value);
}

void reset_state() {
  {
    const sim_state::StateKey key = state_key(true);
    if (key.get() != nullptr) {
      std::vector<std::string> names;
      char name[256];
      DWORD length = sizeof name;
      for (DWORD i = 0;
           RegEnumValueA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
           ++i, length = sizeof name) {
        names.push_back(name);
      }
      for (const std::string& value : names) RegDeleteValueA(key.get(), value.c_str());
    }
  }
  clear_call_log();
}

void clear_call_log() { DeleteFileA(call_log_path().c_str()); }

bool call_fails(const std::string& function, DWORD* result) {
  const DWORD calls = read_number("Calls" + function, 0) + 1;
  write_number("Calls" + function, calls);
  const DWORD failure = read_number("Fail" + function, 0);
  if (failure == 0 || calls <= read_number("FailAfter" + function, 0)) return false;
  *result = failure;
  return true;
}

std::string call_log_path() {
  char folder[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryA(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return "xvsim-ati-calls.log";
  return std::string(folder, length) + "\\xvsim-ati-calls.log";
}

void append_call_log(const std::string& line) {
  HANDLE file = CreateFileA(call_log_path().c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\r\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string read_call_log() {
  HANDLE file = CreateFileA(call_log_path().c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  CloseHandle(file);
  return text;
}

}  // namespace ati_stand_in
