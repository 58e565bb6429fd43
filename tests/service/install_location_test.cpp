// Wine keeps no DACL (it makes one from the Unix mode): built ones instead.
#include "service/install_location.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <tuple>

#include "common/errors.h"
#include "common/scoped.h"
#include "service/win32_calls.h"

namespace {

ScopedLocalMemory security(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr));
  return ScopedLocalMemory(descriptor);
}

ScopedLocalMemory sid(const char* text) {
  PSID account = nullptr;
  ConvertStringSidToSidA(text, &account);
  return ScopedLocalMemory(account);
}

// The SID text of the writer untrusted_writer finds in the SDDL text, or "".
std::string writer(const char* sddl, bool before_vista = false,
                   const char* administrator = "S-1-5-21-1-2-3-1000") {
  const ScopedLocalMemory installer = sid(administrator), everyone = sid("S-1-1-0");
  SECURITY_DESCRIPTOR no_dacl = {
      SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, nullptr, nullptr, nullptr, nullptr};
  // The found SID lies inside the descriptor: it lives until the text is made.
  const ScopedLocalMemory built = sddl != nullptr ? security(sddl) : ScopedLocalMemory();
  const TTrust trust{before_vista, installer.get()};
  PSID found =
      untrusted_writer(built ? built.get() : &no_dacl, trust, everyone.get());  // null DACL: everyone
  char* text = nullptr;
  if (found == nullptr || !ConvertSidToStringSidA(found, &text)) return "";
  const ScopedLocalMemory owned(text);
  return text;
}

// The writer that a DACL of one object entry (Wine's SDDL has none) finds:
// full control for Users, of the type, with an object type or without.
std::string object_entry_writer(BYTE type, bool typed) {
  const ScopedLocalMemory users = sid("S-1-5-32-545"), everyone = sid("S-1-1-0");
  struct {
    ACE_HEADER header;
    ACCESS_MASK mask;
    DWORD flags;
    BYTE rest[sizeof(GUID) + SECURITY_MAX_SID_SIZE];  // the object type when flagged, then the SID
  } entry = {{type, 0, 0}, FILE_ALL_ACCESS, typed ? DWORD{ACE_OBJECT_TYPE_PRESENT} : 0, {}};
  const DWORD guid = typed ? sizeof(GUID) : 0;
  CopySid(SECURITY_MAX_SID_SIZE, entry.rest + guid, users.get());
  entry.header.AceSize =
      static_cast<WORD>(offsetof(decltype(entry), rest) + guid + GetLengthSid(users.get()));
  BYTE memory[256];
  auto* acl = reinterpret_cast<ACL*>(memory);
  SECURITY_DESCRIPTOR security;
  EXPECT_TRUE(InitializeAcl(acl, sizeof memory, ACL_REVISION_DS) &&
              AddAce(acl, ACL_REVISION_DS, 0, &entry, entry.header.AceSize) &&
              InitializeSecurityDescriptor(&security, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&security, TRUE, acl, FALSE));
  char* text = nullptr;
  PSID found = untrusted_writer(&security, TTrust{}, everyone.get());
  if (found == nullptr || !ConvertSidToStringSidA(found, &text)) return "";
  const ScopedLocalMemory owned(text);
  return text;
}

#define TI "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
// The platforms' defaults. A folder under Program Files as it inherits them,
// made by S-1-5-21-1-2-3-1000: XP makes the creator the owner (and CREATOR
// OWNER's entry names it); Server 2003, and Vista's elevated token, make
// Administrators the owner. Server 2003's Program Files and C:\ are XP's.
constexpr const char* kXpFolder =
    "O:S-1-5-21-1-2-3-1000D:AI(A;ID;FA;;;S-1-5-21-1-2-3-1000)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
    "(A;OICIID;0x1301bf;;;PU)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)";
constexpr const char* k2003Folder =
    "O:BAD:AI(A;ID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIID;0x1301bf;;;PU)(A;OICIID;FA;;;SY)";
// Terminal Services in application mode, with Relaxed Security, adds this.
constexpr const char* k2003TerminalServerFolder =
    "O:BAD:AI(A;ID;FA;;;BA)(A;OICIID;0x1301bf;;;PU)(A;OICIID;0x1301bf;;;S-1-5-13)(A;OICIID;FA;;;SY)";
constexpr const char* kVistaFolder =
    "O:BAD:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;CIID;FA;;;" TI
    ")(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;OICIID;0x1200a9;;;S-1-15-2-1)";
constexpr const char* kXpProgramFiles =
    "O:BAD:P(A;OICI;0x1200a9;;;BU)(A;OICI;0x1301bf;;;PU)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)";
constexpr const char* kVistaProgramFiles = "O:" TI "D:P(A;;FA;;;" TI ")(A;CIIO;GA;;;" TI
                                           ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
                                           "(A;OICIIO;GA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)";
// The root: XP and 2003 let Users add folders, Vista and later Authenticated
// Users.
constexpr const char* kXpRoot =
    "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;BU)"
    "(A;CIIO;0x2;;;BU)(A;;0x1200a9;;;WD)";
constexpr const char* kVistaRoot =
    "O:" TI
    "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
    "(A;;0x4;;;AU)";

TInstallPlace place_in(const std::string& folder, PSECURITY_DESCRIPTOR folder_security,
                       PSECURITY_DESCRIPTOR file_security) {
  TInstallPlace place;
  place.executable = folder + "\\xvVistrell.exe";
  place.folder = folder;
  place.folder_security = folder_security;
  place.file_security = file_security;
  return place;
}

// The refusal up to ", so it could replace", or "" where /install may
// register XV under the first of the folders above, with a locked file,
// installed by the administrator S-1-5-21-1-2-3-1000.
std::string head(bool before_vista, const char* folder,
                 std::vector<std::pair<std::string, const char*>> above) {
  const ScopedLocalMemory installer = sid("S-1-5-21-1-2-3-1000"), folder_security = security(folder),
                          file = security("O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)");
  std::vector<ScopedLocalMemory> owned;
  TInstallPlace place = place_in(above[0].first + "\\XV", folder_security.get(), file.get());
  place.trust = TTrust{before_vista, installer.get()};
  for (const auto& [path, sddl] : above) {
    owned.push_back(security(sddl));
    place.folders_above.emplace_back(path, owned.back().get());
  }
  const std::string refusal = install_place_refusal(place);
  return refusal.substr(0, refusal.find(", so it could replace"));
}

TEST(InstallLocationTest, AnyoneButTheSystemsOwnAccountsWhoCanChangeTheObjectIsFound) {
  const char* const safe[] = {"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x100;;;BU)",
                              "O:BAD:(A;;FA;;;" TI ")(A;;FA;;;CO)",
                              "O:BAD:(A;OICIIO;GA;;;BU)"};  // for children only
  for (const char* sddl : safe) EXPECT_EQ(writer(sddl), "") << sddl;
  const char* const users[] = {"O:BAD:(A;OICI;0x1301bf;;;BU)",
                               "O:BAD:(A;;0x2;;;BU)",  // modify; write or add a file
                               "O:BAD:(A;;0x40;;;BU)",
                               "O:BAD:(A;;WD;;;BU)",  // delete children; change the DACL
                               "O:BAD:(A;;GW;;;BU)",
                               "O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)",  // denials are not weighed
                               "O:BUD:(A;;FA;;;BA)"};             // an owner may change the DACL
  for (const char* sddl : users) EXPECT_EQ(writer(sddl), "S-1-5-32-545") << sddl;
  // Object entries, plain and with a callback, with an object type or none.
  for (const BYTE type : {ACCESS_ALLOWED_OBJECT_ACE_TYPE, ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE})
    for (const bool typed : {false, true}) EXPECT_EQ(object_entry_writer(type, typed), "S-1-5-32-545");
  EXPECT_EQ(writer(nullptr), "S-1-1-0");
  // Before Vista, Power Users are trusted; another administrator who made
  // the folder on XP is named.
  EXPECT_EQ(writer(kXpFolder, true, "S-1-5-21-1-2-3-1001"), "S-1-5-21-1-2-3-1000");
  EXPECT_EQ(writer(k2003Folder, true), "");
  EXPECT_EQ(writer(k2003Folder, false), "S-1-5-32-547");
  EXPECT_EQ(writer(k2003TerminalServerFolder, true), "S-1-5-13");
  // The root as the program's own folder: anyone may add a subfolder there
  // (an xvVistrell.exe.local, say).
  EXPECT_EQ(writer(kXpRoot, true), "S-1-5-32-545");
  EXPECT_EQ(writer(kVistaRoot, false), "S-1-5-11");
}

TEST(InstallLocationTest, RefusalsNameTheFolderTheAccountAndWhatToDo) {
  const ScopedLocalMemory safe = security("O:BAD:(A;;FA;;;BA)");
  const ScopedLocalMemory users_modify = security("O:BAD:(A;;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
  TInstallPlace place = place_in("C:\\tools", users_modify.get(), safe.get());
  const std::string replace = ", so it could replace C:\\tools\\xvVistrell.exe, which runs as LocalSystem. ";
  const std::string tighten =
      "let only SYSTEM and Administrators change the folder and the file, then install again.";
  const std::string tail = replace + "Move the program into a folder under Program Files, or " + tighten;
  EXPECT_EQ(install_place_refusal(place),
            "The account BUILTIN\\Users can change the folder C:\\tools" + tail);
  std::swap(place.folder_security, place.file_security);
  EXPECT_EQ(install_place_refusal(place), "The account BUILTIN\\Users can change the file" + tail);
  // What to do depends on who it is: the installing administrator from
  // Vista on, another user's account, or Terminal Services' account.
  const ScopedLocalMemory wine_user = sid("S-1-5-21-0-0-0-1000");
  const ScopedLocalMemory owned = security("O:S-1-5-21-0-0-0-1000D:(A;;0x1301bf;;;S-1-5-13)");
  place.file_security = owned.get();
  const TTrust trusts[] = {{false, wine_user.get()}, {}, {true, wine_user.get()}};
  const char* const advice[] = {
      "User Account Control runs that account's programs without administrator "
      "rights, or can once it is turned on. Move",
      "Run /install as that account if it is an administrator's without User",
      "set Permission Compatibility to Full Security"};
  for (int i = 0; i < 3; ++i) {
    place.trust = trusts[i];
    EXPECT_NE(install_place_refusal(place).find(advice[i]), std::string::npos)
        << install_place_refusal(place);
  }
  place.on_network = true;
  EXPECT_EQ(install_place_refusal(place),
            "The folder C:\\tools is on a network share, so whoever controls the share could replace "
            "C:\\tools\\xvVistrell.exe, which runs as LocalSystem. Move the program into a folder under "
            "Program Files on a local volume, then install again.");
  // Each takes precedence over the next.
  place.on_network = false;
  place.link = "C:\\tools";
  EXPECT_EQ(install_place_refusal(place),
            "The folder C:\\tools is a link (a junction, a symbolic link or a volume mounted there): whoever "
            "can remove it can put one of their own in its place and so replace C:\\tools\\xvVistrell.exe, "
            "which runs as LocalSystem. Copy the program into a real folder under Program Files, reached "
            "without links, then install again.");
  place.drive_of_a_folder = "S:";
  EXPECT_EQ(
      install_place_refusal(place),
      "The drive S: stands for a folder (subst or DefineDosDevice), not for a volume: the folders above "
      "that one cannot be checked, and whoever can change them could replace C:\\tools\\xvVistrell.exe, "
      "which runs as LocalSystem. Copy the program into a folder under Program Files on a fixed local "
      "drive, then install again.");
  place.fixed_drive = false;
  EXPECT_EQ(install_place_refusal(place),
            "The folder C:\\tools is not on a fixed local drive, so whoever has the drive could replace "
            "C:\\tools\\xvVistrell.exe, which runs as LocalSystem. Copy the program into a folder under "
            "Program Files on a fixed local drive, then install again.");
  place.fixed_drive = true;
  place.drive_of_a_folder.clear();
  place.link.clear();
  place.volume_keeps_permissions = false;
  EXPECT_EQ(
      install_place_refusal(place),
      "The volume of the folder C:\\tools keeps no permissions (FAT), so anyone could replace "
      "C:\\tools\\xvVistrell.exe, which runs as LocalSystem. Move the program into a folder under Program "
      "Files on an NTFS volume, then install again.");
  place.path_cut_short = true;
  EXPECT_EQ(
      install_place_refusal(place),
      "The path of the program is too long and was cut short (C:\\tools\\xvVistrell.exe). Move the program "
      "into a folder under Program Files, then install again.");
}

// The folders above the program's: the defaults of the root and of Program
// Files pass; one that an untrusted account can open, or rename away and
// make another in its place, does not.
TEST(InstallLocationTest, FoldersAboveThatOthersCanRenameAwayOrOpenAreRefused) {
  const char* locked = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  const char* data = "O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;AU)";  // Vista's C:\data
  EXPECT_EQ(head(true, kXpFolder, {{"C:\\Program Files", kXpProgramFiles}, {"C:\\", kXpRoot}}), "");
  EXPECT_EQ(head(false, kVistaFolder, {{"C:\\Program Files", kVistaProgramFiles}, {"C:\\", kVistaRoot}}), "");
  EXPECT_EQ(head(false, locked, {{"C:\\data\\apps", locked}, {"C:\\data", data}, {"C:\\", kVistaRoot}}),
            "The account NT AUTHORITY\\Authenticated Users can rename the folder C:\\data away and create "
            "another in its place");
  EXPECT_EQ(
      head(false, locked, {{"C:\\apps", "O:BAD:(A;;0x44;;;BU)"}}),
      "The account BUILTIN\\Users can rename the folder C:\\apps\\XV away and create another in its place");
  EXPECT_EQ(head(false, locked, {{"C:\\apps", "O:BUD:(A;;FA;;;BA)"}}),
            "The account BUILTIN\\Users can change the permissions of the folder C:\\apps");
}

// The machine as /install reads it through the seam: objects by path with
// their attributes by name and through a handle to themselves, and their
// security; the drive's type and device; the version; the token's groups.
struct FakeObject {
  std::string path;
  DWORD by_name, by_handle;
  const char* sddl;
};
struct FakeMachine {
  std::vector<FakeObject> objects;
  UINT drive_type = DRIVE_FIXED;
  const char* drive_device = "\\Device\\HarddiskVolume1";  // the volume's own
  DWORD major_version = 6, administrators = SE_GROUP_ENABLED;
  std::vector<std::pair<HANDLE, const FakeObject*>> open;  // opened through the seam, not yet closed
} machine;

const FakeObject* object_of(HANDLE handle) {
  for (const auto& [open, object] : machine.open)
    if (open == handle) return object;
  return nullptr;
}

const FakeObject* object_at(const char* path) {
  for (const FakeObject& object : machine.objects)
    if (lstrcmpiA(object.path.c_str(), path) == 0) return &object;
  return nullptr;
}

// Without both flags Windows opens a link's target, or no folder at all.
HANDLE WINAPI open_object(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) {
  if (object_at(path) == nullptr || flags != (FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS))
    return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  machine.open.emplace_back(CreateEventA(nullptr, FALSE, FALSE, nullptr), object_at(path));
  return machine.open.back().first;
}
BOOL WINAPI close_object(HANDLE handle) {
  machine.open.erase(std::remove_if(machine.open.begin(), machine.open.end(),
                                    [handle](const auto& open) { return open.first == handle; }),
                     machine.open.end());
  return CloseHandle(handle);
}
BOOL WINAPI by_handle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* information) {
  information->dwFileAttributes = object_of(handle)->by_handle;
  return TRUE;
}
DWORD WINAPI by_name(LPCSTR path) {
  return object_at(path) ? object_at(path)->by_name : INVALID_FILE_ATTRIBUTES;
}
DWORD WINAPI security_of(HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                         PSECURITY_DESCRIPTOR* security) {
  ConvertStringSecurityDescriptorToSecurityDescriptorA(object_of(handle)->sddl, SDDL_REVISION_1, security,
                                                       nullptr);
  return ERROR_SUCCESS;
}
UINT WINAPI drive_type(LPCSTR) { return machine.drive_type; }
BOOL WINAPI volume_name(LPCSTR, LPSTR name, DWORD) { return lstrcpyA(name, "\\\\?\\Volume{1}\\") != nullptr; }
DWORD WINAPI device(LPCSTR name, LPSTR target, DWORD) {
  return lstrlenA(lstrcpyA(target,
                           lstrcmpA(name, "C:") == 0 ? machine.drive_device : "\\Device\\HarddiskVolume1")) +
         2;
}
BOOL WINAPI volume_flags(LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD flags, LPSTR, DWORD) {
  return (*flags = FILE_PERSISTENT_ACLS) != 0;
}
BOOL WINAPI version(OSVERSIONINFOA* version) {
  return (version->dwMajorVersion = machine.major_version) != 0;
}
// The installer S-1-5-21-1-2-3-1000, with Administrators as the machine says.
BOOL WINAPI token(HANDLE, TOKEN_INFORMATION_CLASS kind, void* out, DWORD, DWORD* needed) {
  static const ScopedLocalMemory installer = sid("S-1-5-21-1-2-3-1000"), administrators = sid("S-1-5-32-544");
  *needed = sizeof(TOKEN_GROUPS);
  if (out != nullptr && kind == TokenUser) *static_cast<TOKEN_USER*>(out) = {{installer.get(), 0}};
  if (out != nullptr && kind == TokenGroups)
    *static_cast<TOKEN_GROUPS*>(out) = {1, {{administrators.get(), machine.administrators}}};
  return out != nullptr;
}

// Whether check_install_place(path) on the machine refuses with a text that
// begins so, or passes where the text is "".
void expect_refusal(const char* path, const char* begins) {
  Win32Calls& calls = win32_calls();
  calls.create_file = open_object;
  calls.close_handle = close_object;
  calls.get_file_information_by_handle = by_handle;
  calls.get_file_attributes = by_name;
  calls.get_security_info = security_of;
  calls.get_drive_type = drive_type;
  calls.get_volume_name_for_volume_mount_point = volume_name;
  calls.query_dos_device = device;
  calls.get_volume_information = volume_flags;
  calls.get_version_ex = version;
  calls.get_token_information = token;
  std::string refusal;
  try {
    check_install_place(path);
  } catch (const Exception& error) {
    refusal = error.message();
  }
  win32_calls() = Win32Calls{};
  EXPECT_TRUE(*begins != '\0' ? refusal.compare(0, std::strlen(begins), begins) == 0 : refusal.empty())
      << path << ": " << refusal;
  EXPECT_TRUE(machine.open.empty()) << "handles left open";
}

constexpr DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY,
                kLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// Vista's defaults, and a junction C:\xv to the program's folder, made and
// owned by a user.
FakeMachine vista_machine() {
  FakeMachine vista;
  const char* locked = "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
  vista.objects = {{"C:\\", kFolder, kFolder, kVistaRoot},
                   {"C:\\Program Files", kFolder, kFolder, kVistaProgramFiles},
                   {"C:\\Program Files\\XV", kFolder, kFolder, kVistaFolder},
                   {"C:\\Program Files\\XV\\xvVistrell.exe", 0x20, 0x20, locked},
                   {"C:\\xv", kLink, kLink, "O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)"},
                   {"C:\\xv\\xvVistrell.exe", 0x20, 0x20, locked}};
  return vista;
}

// Every step of the path is opened as itself, from the root down: a link
// anywhere but at the root, a drive that stands for a folder or is no fixed
// one, a network path in any case, is refused; "\\?\C:" is the drive C:.
TEST(InstallLocationTest, TheWholePathIsReadWithoutFollowingLinks) {
  const char* const exe = "C:\\Program Files\\XV\\xvVistrell.exe";
  const struct {
    const char* path;
    void (*arrange)(FakeMachine&);
    const char* refusal;
  } rows[] = {
      {exe, [](FakeMachine&) {}, ""},
      {"\\\\?\\C:\\Program Files\\XV\\xvVistrell.exe", [](FakeMachine&) {}, ""},
      {"C:\\xv\\xvVistrell.exe", [](FakeMachine&) {}, "The folder C:\\xv is a link"},  // a junction
      {"C:\\xv\\xvVistrell.exe", [](FakeMachine& m) { m.objects[4].by_handle = kFolder; },
       "The folder C:\\xv is a link"},  // Wine's symbolic link: a reparse point by name only
      {exe, [](FakeMachine& m) { m.objects[1].by_name = m.objects[1].by_handle = kLink; },
       "The folder C:\\Program Files is a link"},  // a volume mounted there
      {exe, [](FakeMachine& m) { m.objects[3].by_handle = 0x420; },
       "The file C:\\Program Files\\XV\\xvVistrell.exe is a link"},
      {exe, [](FakeMachine& m) { m.objects[0].by_name = m.objects[0].by_handle = kLink; }, ""},  // the root
      {exe, [](FakeMachine& m) { m.drive_device = "\\??\\D:\\Users\\bob"; },
       "The drive C: stands for a folder"},
      {exe, [](FakeMachine& m) { m.drive_type = DRIVE_REMOVABLE; },
       "The folder C:\\Program Files\\XV is not on a fixed"},
      {exe, [](FakeMachine& m) { m.drive_type = DRIVE_REMOTE; },
       "The folder C:\\Program Files\\XV is on a network"},
      {"\\\\?\\unc\\server\\xv\\xvVistrell.exe", [](FakeMachine&) {},
       "The folder \\\\?\\unc\\server\\xv is on a network"}};
  for (const auto& row : rows) {
    machine = vista_machine();
    row.arrange(machine);
    expect_refusal(row.path, row.refusal);
  }
}

// The installing administrator's own SID is trusted before Vista only, and
// only when its token holds Administrators: from Vista on not even with an
// unsplit token (a network logon, User Account Control off), since its
// interactive logons, or all once UAC is on, run its programs unelevated.
TEST(InstallLocationTest, TheInstallingAdministratorIsTrustedBeforeVistaOnly) {
  const char* const own = "The account S-1-5-21-1-2-3-1000 can change the folder";
  const std::tuple<DWORD, DWORD, const char*> rows[] = {
      {5, SE_GROUP_ENABLED, ""}, {5, SE_GROUP_USE_FOR_DENY_ONLY, own}, {6, SE_GROUP_ENABLED, own}};
  for (const auto& [major_version, administrators, refusal] : rows) {
    machine = vista_machine();
    machine.objects[0].sddl = kXpRoot;
    machine.objects[1].sddl = kXpProgramFiles;
    machine.objects[2].sddl = kXpFolder;  // XP makes the creator the owner
    machine.major_version = major_version;
    machine.administrators = administrators;
    expect_refusal("C:\\Program Files\\XV\\xvVistrell.exe", refusal);
  }
}

}  // namespace
