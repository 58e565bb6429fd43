// An open key of a stand-in's shared state under HKLM, which every process
// of a Wine prefix sees. A reader leaves a missing key missing (a stand-in
// whose key is gone is switched off); a missing key or value, or a value of
// another type, reads as the fallback.
#pragma once

#include <windows.h>

#include <string>

#include "common/scoped.h"

namespace sim_state {

class StateKey {
 public:
  // Writing creates the key; reading only opens it.
  StateKey(const char* path, bool writing);

  HKEY get() const { return key_.get(); }
  DWORD number(const char* name, DWORD fallback = 0) const;
  std::string text(const char* name, const std::string& fallback = "") const;
  void set_number(const char* name, DWORD value) const;
  void set_text(const char* name, const std::string& value) const;

 private:
  ScopedRegistryKey key_;
};

}  // namespace sim_state
