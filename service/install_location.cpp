#include "service/install_location.h"

#include <sddl.h>

#include "common/errors.h"
#include "common/scoped.h"
#include "service/install_facts.h"

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

// The accounts that may change the program: the system's own, and before
// Vista Power Users and the installing administrator.
class TrustedAccounts {
 public:
  explicit TrustedAccounts(const TTrust& trust)
      : installer_(trust.before_vista ? trust.installing_administrator : nullptr) {
    accounts_[0] = make_sid(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID);
    accounts_[1] = builtin_group(DOMAIN_ALIAS_RID_ADMINS);
    accounts_[2] = make_sid(SECURITY_NT_AUTHORITY, 6, 80, 956008885, 3418522649, 1831038044, 1853292631,
                            2271478464);  // NT SERVICE\TrustedInstaller
    accounts_[3] = make_sid(SECURITY_CREATOR_SID_AUTHORITY, 1, SECURITY_CREATOR_OWNER_RID);
    if (trust.before_vista) accounts_[4] = builtin_group(DOMAIN_ALIAS_RID_POWER_USERS);
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

// The account an allowing entry grants to, or null for any other entry.
// Object entries count too: Windows applies one that names no object type
// to a file as a plain entry, and one that names a type is counted all the
// same, since refusing is the safe side.
PSID allowing_entry_account(void* entry) {
  const BYTE type = static_cast<ACE_HEADER*>(entry)->AceType;
  if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
    return &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
  if (type != ACCESS_ALLOWED_OBJECT_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
    return nullptr;
  auto* object = static_cast<ACCESS_ALLOWED_OBJECT_ACE*>(entry);
  // The two GUIDs are there only when the flags say so; the SID follows.
  BYTE* sid = reinterpret_cast<BYTE*>(&object->ObjectType);
  if ((object->Flags & ACE_OBJECT_TYPE_PRESENT) != 0) sid += sizeof(GUID);
  if ((object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) sid += sizeof(GUID);
  return sid;
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
  if (installer != nullptr && EqualSid(account, installer))  // trusted before Vista
    return head +
           "User Account Control runs that account's programs without administrator rights, or can once it "
           "is turned on. Move the program into a folder under Program Files, or " +
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
    // Denying entries are not weighed: a place that needs them to be safe is
    // refused all the same. Inherit-only entries apply to children only.
    PSID account = allowing_entry_account(entry);
    if (account == nullptr || (static_cast<ACE_HEADER*>(entry)->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    ACCESS_MASK granted = static_cast<ACCESS_ALLOWED_ACE*>(entry)->Mask;  // the mask follows the header
    MapGenericMask(&granted, &mapping);
    if ((granted & rights) != 0 && !accounts.contains(account)) return account;
  }
  return nullptr;
}

PSID untrusted_writer(PSECURITY_DESCRIPTOR security, const TTrust& trust, PSID everyone) {
  return untrusted_holder(security, kChangingRights, trust, everyone);
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
  if (!place.fixed_drive)
    return "The folder " + place.folder +
           " is not on a fixed local drive, so whoever has the drive could replace " + place.executable +
           ", which runs as LocalSystem. Copy the program into a folder under Program Files on a fixed local "
           "drive, then install again.";
  if (!place.drive_of_a_folder.empty())
    return "The drive " + place.drive_of_a_folder +
           " stands for a folder (subst or DefineDosDevice), not for a volume: the folders above that one "
           "cannot be checked, and whoever can change them could replace " +
           place.executable +
           ", which runs as LocalSystem. Copy the program into a folder under Program Files on a fixed "
           "local drive, then install again.";
  if (!place.link.empty())
    return std::string(place.link == place.executable ? "The file " : "The folder ") + place.link +
           " is a link (a junction, a symbolic link or a volume mounted there): whoever can remove it can "
           "put one of their own in its place and so replace " +
           place.executable +
           ", which runs as LocalSystem. Copy the program into a real folder under Program Files, reached "
           "without links, then install again.";
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

void check_install_place(const std::string& executable) {
  const TReadPlace read = read_install_place(executable);
  const std::string refusal = install_place_refusal(read.place);
  if (!refusal.empty()) throw Exception(refusal);
}

void check_install_place() {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  // A filled buffer means the path did not fit (Windows XP leaves it
  // unterminated, later systems report ERROR_INSUFFICIENT_BUFFER).
  if (length >= MAX_PATH) {
    TInstallPlace place;
    place.executable.assign(path, length);
    place.path_cut_short = true;
    throw Exception(install_place_refusal(place));
  }
  check_install_place(std::string(path, length));
}
