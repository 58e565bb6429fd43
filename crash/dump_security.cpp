#include "crash/dump_security.h"

namespace {

bool make_sid(BYTE* sid, DWORD first, DWORD second, BYTE count) {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  if (!InitializeSid(sid, &authority, count)) return false;
  *GetSidSubAuthority(sid, 0) = first;
  if (count > 1) *GetSidSubAuthority(sid, 1) = second;
  return true;
}

}  // namespace

bool PrivateFileSecurity::build() {
  auto* acl = reinterpret_cast<ACL*>(acl_);
  // Protected: the ACEs a folder passes on to new files (Users may read under
  // Program Files) do not reach the dump.
  built_ = make_sid(system_sid_, SECURITY_LOCAL_SYSTEM_RID, 0, 1) &&
           make_sid(administrators_sid_, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 2) &&
           InitializeAcl(acl, sizeof acl_, ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system_sid_) &&
           AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators_sid_) &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_ = {sizeof attributes_, &descriptor_, FALSE};
  return built_;
}
