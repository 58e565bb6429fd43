#include "service/install_location.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "common/errors.h"
#include "common/scoped.h"

namespace {

// What lets someone replace the file, add one beside it, or take the object
// over: write or append (add a file or folder), delete it or its children,
// change its permissions or owner.
constexpr ACCESS_MASK kChangingRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

ScopedSid make_sid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a, DWORD b = 0, DWORD c = 0,
                   DWORD d = 0, DWORD e = 0, DWORD f = 0) {
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&authority, count, a, b, c, d, e, f, 0, 0, &sid)) raise_last_os_error();
  return ScopedSid(sid);
}

// The accounts that may change the program: the system's own.
class TrustedAccounts {
 public:
  TrustedAccounts() {
    accounts_[0] = make_sid(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID);
    accounts_[1] = make_sid(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
    accounts_[2] = make_sid(SECURITY_NT_AUTHORITY, 6, 80, 956008885, 3418522649, 1831038044, 1853292631,
                            2271478464);  // NT SERVICE\TrustedInstaller
    accounts_[3] = make_sid(SECURITY_CREATOR_SID_AUTHORITY, 1, SECURITY_CREATOR_OWNER_RID);
  }
  bool contains(PSID account) const {
    for (const ScopedSid& trusted : accounts_)
      if (EqualSid(account, trusted.get())) return true;
    return false;
  }

 private:
  ScopedSid accounts_[4];
};

bool trusted(const TrustedAccounts& accounts, PSID account, PSID installing_administrator) {
  return accounts.contains(account) ||
         (installing_administrator != nullptr && EqualSid(account, installing_administrator));
}

// The security descriptor of a file or folder: owner and DACL.
ScopedLocalMemory read_security(const std::string& path) {
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD error = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, nullptr, nullptr, &security);
  if (error != ERROR_SUCCESS) throw EOSError(error);
  return ScopedLocalMemory(security);
}

bool volume_keeps_permissions(const std::string& path) {
  char volume[MAX_PATH + 1] = "";
  if (!GetVolumePathNameA(path.c_str(), volume, MAX_PATH)) raise_last_os_error();
  DWORD flags = 0;
  if (!GetVolumeInformationA(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) raise_last_os_error();
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// The user account of this process's token, when the token holds the
// Administrators group (enabled).
std::unique_ptr<BYTE[]> administrator_account() {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return nullptr;
  const ScopedHandle token(raw_token);
  const ScopedSid administrators =
      make_sid(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators.get(), &member) || !member) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  auto user = std::make_unique<BYTE[]>(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) return nullptr;
  return user;
}

std::string refusal_for(const std::string& account, const std::string& what, const std::string& executable) {
  return "The account " + account + " can change " + what + ", so it could replace " + executable +
         ", which runs as LocalSystem. Move the program into a folder under Program Files, or let only "
         "SYSTEM and Administrators change the folder and the file, then install again.";
}

}  // namespace

PSID untrusted_writer(PSECURITY_DESCRIPTOR security, PSID installing_administrator, PSID everyone) {
  const TrustedAccounts accounts;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  // An owner may always change the permissions.
  if (GetSecurityDescriptorOwner(security, &owner, &defaulted) && owner != nullptr &&
      !trusted(accounts, owner, installing_administrator))
    return owner;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(security, &present, &dacl, &defaulted) || !present || dacl == nullptr)
    return everyone;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    // Denying entries are not weighed: a place that needs them to be safe is
    // refused all the same. Inherit-only entries apply to children only.
    if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
        (header->AceFlags & INHERIT_ONLY_ACE) != 0)
      continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    ACCESS_MASK rights = allowed->Mask;
    MapGenericMask(&rights, &mapping);
    PSID account = &allowed->SidStart;
    if ((rights & kChangingRights) != 0 && !trusted(accounts, account, installing_administrator))
      return account;
  }
  return nullptr;
}

std::string account_name(PSID account) {
  char name[256] = "";
  char domain[256] = "";
  DWORD name_size = sizeof name;
  DWORD domain_size = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, account, name, &name_size, domain, &domain_size, &use))
    return domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
  char* text = nullptr;
  if (!ConvertSidToStringSidA(account, &text)) return "(unknown account)";
  const ScopedLocalMemory owned(text);
  return text;
}

std::string install_place_refusal(const TInstallPlace& place) {
  if (place.path_cut_short)
    return "The path of the program is too long and was cut short (" + place.executable +
           "). Move the program into a folder under Program Files, then install again.";
  if (!place.volume_keeps_permissions)
    return "The volume of the folder " + place.folder +
           " keeps no permissions (FAT), so anyone could replace " + place.executable +
           ", which runs as LocalSystem. Move the program into a folder under Program Files on an NTFS "
           "volume, then install again.";
  const ScopedSid everyone = make_sid(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID);
  if (PSID writer = untrusted_writer(place.folder_security, place.installing_administrator, everyone.get()))
    return refusal_for(account_name(writer), "the folder " + place.folder, place.executable);
  if (PSID writer = untrusted_writer(place.file_security, place.installing_administrator, everyone.get()))
    return refusal_for(account_name(writer), "the file", place.executable);
  return "";
}

void check_install_place() {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  TInstallPlace place;
  place.executable.assign(path, length);
  // A filled buffer means the path did not fit (Windows XP leaves it
  // unterminated, later systems report ERROR_INSUFFICIENT_BUFFER).
  place.path_cut_short = length >= MAX_PATH;
  place.folder = place.executable.substr(0, place.executable.find_last_of('\\'));
  if (place.folder.size() == 2 && place.folder[1] == ':') place.folder += '\\';  // a drive's root
  if (!place.path_cut_short) place.volume_keeps_permissions = volume_keeps_permissions(place.executable);
  ScopedLocalMemory folder_security;
  ScopedLocalMemory file_security;
  std::unique_ptr<BYTE[]> administrator;
  if (!place.path_cut_short && place.volume_keeps_permissions) {
    folder_security = read_security(place.folder);
    file_security = read_security(place.executable);
    place.folder_security = folder_security.get();
    place.file_security = file_security.get();
    administrator = administrator_account();
    if (administrator)
      place.installing_administrator = reinterpret_cast<TOKEN_USER*>(administrator.get())->User.Sid;
  }
  const std::string refusal = install_place_refusal(place);
  if (!refusal.empty()) throw Exception(refusal);
}
