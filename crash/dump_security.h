// The security of a minidump: it holds the memory of a process that runs as
// SYSTEM, so only SYSTEM and the Administrators may open it, whatever the
// folder it lands in would otherwise grant (Users may read Program Files).
#pragma once

#include <windows.h>

// A security descriptor with a protected DACL: full access for SYSTEM and
// BUILTIN\Administrators, nothing inherited. Built once, before any crash,
// in storage of its own; a crashed process only passes it to CreateFile.
class PrivateFileSecurity {
 public:
  // False (with the system error in GetLastError) when Windows refused a
  // step; attributes() is then null, and a file gets its folder's security.
  bool build();
  SECURITY_ATTRIBUTES* attributes() { return built_ ? &attributes_ : nullptr; }

 private:
  BYTE system_sid_[SECURITY_MAX_SID_SIZE] = {};
  BYTE administrators_sid_[SECURITY_MAX_SID_SIZE] = {};
  // Two ACEs, each a header, a mask and a SID of at most two sub-authorities.
  BYTE acl_[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)] = {};
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
  bool built_ = false;
};
