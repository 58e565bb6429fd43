#include "service/install_location.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "common/errors.h"
#include "common/scoped.h"
#include "service/module_calls.h"
#include "service/win32_calls.h"

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

ScopedSid builtin_group(DWORD rid) {
  return make_sid(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, rid);
}

// The accounts that may change the program: the system's own, Power Users
// where the trust says so, and the installing administrator whose token is
// not split.
class TrustedAccounts {
 public:
  explicit TrustedAccounts(const TTrust& trust)
      : installer_(trust.installing_token_split ? nullptr : trust.installing_administrator) {
    accounts_[0] = make_sid(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID);
    accounts_[1] = builtin_group(DOMAIN_ALIAS_RID_ADMINS);
    accounts_[2] = make_sid(SECURITY_NT_AUTHORITY, 6, 80, 956008885, 3418522649, 1831038044, 1853292631,
                            2271478464);  // NT SERVICE\TrustedInstaller
    accounts_[3] = make_sid(SECURITY_CREATOR_SID_AUTHORITY, 1, SECURITY_CREATOR_OWNER_RID);
    if (trust.power_users) accounts_[4] = builtin_group(DOMAIN_ALIAS_RID_POWER_USERS);
  }
  bool contains(PSID account) const {
    for (const ScopedSid& trusted : accounts_)
      if (trusted && EqualSid(account, trusted.get())) return true;
    return installer_ != nullptr && EqualSid(account, installer_);
  }

 private:
  ScopedSid accounts_[5];
  PSID installer_;
};

// The security descriptor of a file or folder: owner and DACL.
ScopedLocalMemory read_security(const std::string& path) {
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD error = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, nullptr, nullptr, &security);
  if (error != ERROR_SUCCESS) throw EOSError(error);
  return ScopedLocalMemory(security);
}

// The root of the path's volume, with its final backslash ("C:\").
std::string volume_root(const std::string& path) {
  char volume[MAX_PATH + 1] = "";
  if (!GetVolumePathNameA(path.c_str(), volume, MAX_PATH)) raise_last_os_error();
  return volume;
}

bool volume_keeps_permissions(const std::string& root) {
  DWORD flags = 0;
  if (!GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
    raise_last_os_error();
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// "\\server\share\..." and "\\?\UNC\server\share\..."; "\\?\C:\..." and
// "\\.\..." are local.
bool unc_path(const std::string& path) {
  if (path.compare(0, 2, "\\\\") != 0) return false;
  if (path.compare(0, 8, "\\\\?\\UNC\\") == 0) return true;
  return path.compare(0, 4, "\\\\?\\") != 0 && path.compare(0, 4, "\\\\.\\") != 0;
}

// The folders above the folder, nearest first, down to the root.
std::vector<std::string> folders_above(std::string folder, const std::string& root) {
  std::vector<std::string> folders;
  while (folder.size() > root.size()) {
    const std::string::size_type cut = folder.find_last_of('\\');
    if (cut == std::string::npos) break;
    folder.resize(cut);
    if (folder.size() < root.size()) folder = root;  // "C:" becomes "C:\"
    folders.push_back(folder);
  }
  return folders;
}

// Whether Administrators is enabled (not deny-only) among the token's groups.
bool holds_administrators(HANDLE token) {
  DWORD size = 0;
  win32_calls().get_token_information(token, TokenGroups, nullptr, 0, &size);
  if (size == 0) return false;
  auto buffer = std::make_unique<BYTE[]>(size);
  if (!win32_calls().get_token_information(token, TokenGroups, buffer.get(), size, &size)) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
  const ScopedSid administrators = builtin_group(DOMAIN_ALIAS_RID_ADMINS);
  for (DWORD i = 0; i < groups->GroupCount; ++i)
    if (EqualSid(groups->Groups[i].Sid, administrators.get()))
      return (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 &&
             (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
  return false;
}

// The user account of this process's token, when the token holds the
// Administrators group (enabled), and whether that token is split.
std::unique_ptr<BYTE[]> administrator_account(bool& split) {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return nullptr;
  const ScopedHandle token(raw_token);
  const ScopedSid administrators = builtin_group(DOMAIN_ALIAS_RID_ADMINS);
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators.get(), &member) || !member) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  auto user = std::make_unique<BYTE[]>(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) return nullptr;
  split = token_is_split(token.get());
  return user;
}

bool is_well_known(PSID account, SID_IDENTIFIER_AUTHORITY authority, DWORD rid) {
  const ScopedSid known = make_sid(authority, 1, rid);
  return EqualSid(account, known.get()) != FALSE;
}

// The system's name for the account ("DOMAIN\name", or "name" without a
// domain) and its kind; false when the system cannot name it.
bool look_up_account(PSID account, std::string* name, SID_NAME_USE* use) {
  char user[256] = "";
  char domain[256] = "";
  DWORD user_size = sizeof user;
  DWORD domain_size = sizeof domain;
  if (!LookupAccountSidA(nullptr, account, user, &user_size, domain, &domain_size, use)) return false;
  *name = domain[0] != '\0' ? std::string(domain) + "\\" + user : std::string(user);
  return true;
}

// Whether the system names the account as a single user's (not a group's).
bool user_account(PSID account) {
  std::string name;
  SID_NAME_USE use = SidTypeUnknown;
  return look_up_account(account, &name, &use) && use == SidTypeUser;
}

// The refusal: who can do what, and what the administrator can do about it,
// for the kind of account. `place` names what to tighten ("the folder and
// the file", or a folder above).
std::string refusal_for(PSID account, const std::string& deed, const std::string& place,
                        const TInstallPlace& facts) {
  const std::string head = "The account " + account_name(account) + " can " + deed +
                           ", so it could replace " + facts.executable + ", which runs as LocalSystem. ";
  const std::string tighten = "let only SYSTEM and Administrators change " + place + ", then install again.";
  const PSID installer = facts.trust.installing_administrator;
  if (installer != nullptr && EqualSid(account, installer))  // trusted unless its token is split
    return head +
           "User Account Control also runs that account's programs without administrator rights. Move the "
           "program into a folder under Program Files, or " +
           tighten;
  if (is_well_known(account, SECURITY_NT_AUTHORITY, SECURITY_TERMINAL_SERVER_RID))
    return head +
           "Terminal Services grants it that under Relaxed Security: set Permission Compatibility to Full "
           "Security (Terminal Services Configuration, Server Settings), or " +
           tighten;
  if (user_account(account))  // on XP, for example, the administrator who made the folder
    return head +
           "Run /install as that account if it is an administrator's without User Account Control (as on "
           "Windows XP), or make Administrators the owner and " +
           tighten;
  return head + "Move the program into a folder under Program Files, or " + tighten;
}

}  // namespace

PSID untrusted_holder(PSECURITY_DESCRIPTOR security, ACCESS_MASK rights, const TTrust& trust, PSID everyone) {
  const TrustedAccounts accounts(trust);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  // An owner may always change the permissions.
  if (GetSecurityDescriptorOwner(security, &owner, &defaulted) && owner != nullptr &&
      !accounts.contains(owner))
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
    ACCESS_MASK granted = allowed->Mask;
    MapGenericMask(&granted, &mapping);
    PSID account = &allowed->SidStart;
    if ((granted & rights) != 0 && !accounts.contains(account)) return account;
  }
  return nullptr;
}

PSID untrusted_writer(PSECURITY_DESCRIPTOR security, const TTrust& trust, PSID everyone) {
  return untrusted_holder(security, kChangingRights, trust, everyone);
}

bool token_is_split(HANDLE token) {
  const Win32Calls& calls = win32_calls();
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  if (!calls.get_token_information(token, TokenElevationType, &type, sizeof type, &size))
    return GetLastError() != ERROR_INVALID_PARAMETER;  // before Vista: no such class, no split
  if (type == TokenElevationTypeDefault) return false;
  TOKEN_LINKED_TOKEN linked = {};
  if (!calls.get_token_information(token, TokenLinkedToken, &linked, sizeof linked, &size)) return true;
  const ScopedHandle owned(linked.LinkedToken);
  // Under Wine both tokens of the pair hold Administrators: nothing of that
  // account runs without administrator rights.
  return !holds_administrators(type == TokenElevationTypeLimited ? token : linked.LinkedToken);
}

std::string account_name(PSID account) {
  std::string name;
  SID_NAME_USE use;
  if (look_up_account(account, &name, &use)) return name;
  char* text = nullptr;
  if (!ConvertSidToStringSidA(account, &text)) return "(unknown account)";
  const ScopedLocalMemory owned(text);
  return text;
}

std::string install_place_refusal(const TInstallPlace& place) {
  if (place.path_cut_short)
    return "The path of the program is too long and was cut short (" + place.executable +
           "). Move the program into a folder under Program Files, then install again.";
  if (place.on_network)
    return "The folder " + place.folder +
           " is on a network share, so whoever controls the share could replace " + place.executable +
           ", which runs as LocalSystem. Move the program into a folder under Program Files on a local "
           "volume, then install again.";
  if (!place.volume_keeps_permissions)
    return "The volume of the folder " + place.folder +
           " keeps no permissions (FAT), so anyone could replace " + place.executable +
           ", which runs as LocalSystem. Move the program into a folder under Program Files on an NTFS "
           "volume, then install again.";
  const ScopedSid everyone = make_sid(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID);
  const TTrust& trust = place.trust;
  const std::string both = "the folder and the file";
  if (PSID writer = untrusted_writer(place.folder_security, trust, everyone.get()))
    return refusal_for(writer, "change the folder " + place.folder, both, place);
  if (PSID writer = untrusted_writer(place.file_security, trust, everyone.get()))
    return refusal_for(writer, "change the file", both, place);
  // Above the folder: changing a folder's permissions or owner opens it;
  // renaming the folder below it away (delete-child here, or delete on that
  // folder) and creating another in its place (add-subdirectory here) puts
  // a folder of one's own on the program's path.
  std::string below = place.folder;
  PSECURITY_DESCRIPTOR below_security = place.folder_security;
  for (const auto& [path, security] : place.folders_above) {
    if (PSID holder = untrusted_holder(security, WRITE_DAC | WRITE_OWNER, trust, everyone.get()))
      return refusal_for(holder, "change the permissions of the folder " + path, path, place);
    if (untrusted_holder(security, FILE_ADD_SUBDIRECTORY, trust, everyone.get()) != nullptr) {
      PSID renamer = untrusted_holder(security, FILE_DELETE_CHILD, trust, everyone.get());
      if (renamer == nullptr) renamer = untrusted_holder(below_security, DELETE, trust, everyone.get());
      if (renamer != nullptr)
        return refusal_for(renamer, "rename the folder " + below + " away and create another in its place",
                           path, place);
    }
    below = path;
    below_security = security;
  }
  return "";
}

void check_install_place() {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  // A filled buffer means the path did not fit (Windows XP leaves it
  // unterminated, later systems report ERROR_INSUFFICIENT_BUFFER).
  check_install_place(std::string(path, length));
}

void check_install_place(const std::string& executable) {
  TInstallPlace place;
  place.executable = executable;
  place.path_cut_short = executable.size() >= MAX_PATH;
  place.folder = place.executable.substr(0, place.executable.find_last_of('\\'));
  if (place.folder.size() == 2 && place.folder[1] == ':') place.folder += '\\';  // a drive's root
  ScopedLocalMemory folder_security;
  ScopedLocalMemory file_security;
  std::vector<ScopedLocalMemory> above_security;
  std::unique_ptr<BYTE[]> administrator;
  if (!place.path_cut_short) {
    place.on_network = unc_path(place.executable);
    const std::string root = place.on_network ? std::string() : volume_root(place.executable);
    place.on_network = place.on_network || GetDriveTypeA(root.c_str()) == DRIVE_REMOTE;
    if (!place.on_network) place.volume_keeps_permissions = volume_keeps_permissions(root);
    if (!place.on_network && place.volume_keeps_permissions) {
      folder_security = read_security(place.folder);
      file_security = read_security(place.executable);
      place.folder_security = folder_security.get();
      place.file_security = file_security.get();
      for (const std::string& above : folders_above(place.folder, root)) {
        above_security.push_back(read_security(above));
        place.folders_above.emplace_back(above, above_security.back().get());
      }
      place.trust.power_users = running_windows_version().dwMajorVersion < 6;
      administrator = administrator_account(place.trust.installing_token_split);
      if (administrator)
        place.trust.installing_administrator = reinterpret_cast<TOKEN_USER*>(administrator.get())->User.Sid;
    }
  }
  const std::string refusal = install_place_refusal(place);
  if (!refusal.empty()) throw Exception(refusal);
}
