#include "sim/common/state_key.h"

namespace sim_state {

StateKey::StateKey(const char* path, bool writing) {
  HKEY key = nullptr;
  const LONG opened = writing ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                                nullptr, &key, nullptr)
                              : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (opened == ERROR_SUCCESS) key_.reset(key);
}

DWORD StateKey::number(const char* name, DWORD fallback) const {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (!key_ ||
      RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return fallback;
  }
  return value;
}

std::string StateKey::text(const char* name, const std::string& fallback) const {
  char value[1024];
  DWORD size = sizeof value - 1;
  DWORD type = 0;
  if (!key_ ||
      RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return fallback;
  }
  value[size] = '\0';
  return value;
}

void StateKey::set_number(const char* name, DWORD value) const {
  if (key_)
    RegSetValueExA(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void StateKey::set_text(const char* name, const std::string& value) const {
  if (key_)
    RegSetValueExA(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size()) + 1);
}

}  // namespace sim_state
