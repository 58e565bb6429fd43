// Wine keeps no DACL (it makes one from the Unix mode): built ones instead.
#include "service/install_location.h"

#include <gtest/gtest.h>
#include <sddl.h>

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
std::string writer(const char* sddl, bool before_vista = false, bool split = false,
                   const char* administrator = "S-1-5-21-1-2-3-1000") {
  const ScopedLocalMemory installer = sid(administrator), everyone = sid("S-1-1-0");
  SECURITY_DESCRIPTOR no_dacl = {
      SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, nullptr, nullptr, nullptr, nullptr};
  // The found SID lies inside the descriptor: it lives until the text is made.
  const ScopedLocalMemory built = sddl != nullptr ? security(sddl) : ScopedLocalMemory();
  const TTrust trust{before_vista, installer.get(), split};
  PSID found =
      untrusted_writer(built ? built.get() : &no_dacl, trust, everyone.get());  // null DACL: everyone
  char* text = nullptr;
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
  return {folder + "\\xvVistrell.exe", folder, false, false, true, folder_security, file_security, {}, {}};
}

// The refusal up to ", so it could replace", or "" where /install may
// register XV under the first of the folders above, with a locked file; the
// installing administrator S-1-5-21-1-2-3-1000's token is split from Vista on.
std::string head(bool before_vista, const char* folder,
                 std::vector<std::pair<std::string, const char*>> above) {
  const ScopedLocalMemory installer = sid("S-1-5-21-1-2-3-1000"), folder_security = security(folder),
                          file = security("O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)");
  std::vector<ScopedLocalMemory> owned;
  TInstallPlace place = place_in(above[0].first + "\\XV", folder_security.get(), file.get());
  place.trust = TTrust{before_vista, installer.get(), !before_vista};
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
                              "O:S-1-5-21-1-2-3-1000D:(A;;FA;;;S-1-5-21-1-2-3-1000)",  // the installer
                              "O:BAD:(A;OICIIO;GA;;;BU)"};                             // for children only
  for (const char* sddl : safe) EXPECT_EQ(writer(sddl), "") << sddl;
  const char* const users[] = {"O:BAD:(A;OICI;0x1301bf;;;BU)",
                               "O:BAD:(A;;0x2;;;BU)",  // modify; write or add a file
                               "O:BAD:(A;;0x40;;;BU)",
                               "O:BAD:(A;;WD;;;BU)",  // delete children; change the DACL
                               "O:BAD:(A;;GW;;;BU)",
                               "O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)",  // denials are not weighed
                               "O:BUD:(A;;FA;;;BA)"};             // an owner may change the DACL
  for (const char* sddl : users) EXPECT_EQ(writer(sddl), "S-1-5-32-545") << sddl;
  EXPECT_EQ(writer(safe[2], false, false, "S-1-5-32-545"), "S-1-5-21-1-2-3-1000");
  EXPECT_EQ(writer(safe[2], false, true), "S-1-5-21-1-2-3-1000");  // its programs also run unelevated
  EXPECT_EQ(writer(nullptr), "S-1-1-0");
  // Before Vista, Power Users are trusted; another administrator who made
  // the folder on XP is named.
  EXPECT_EQ(writer(kXpFolder, true, false, "S-1-5-21-1-2-3-1001"), "S-1-5-21-1-2-3-1000");
  EXPECT_EQ(writer(k2003Folder, true), "");
  EXPECT_EQ(writer(k2003Folder, false), "S-1-5-32-547");
  EXPECT_EQ(writer(k2003TerminalServerFolder, true), "S-1-5-13");
  // The root as the program's own folder: anyone may add a subfolder there
  // (an xvVistrell.exe.local, say).
  EXPECT_EQ(writer(kXpRoot, true), "S-1-5-32-545");
  EXPECT_EQ(writer(kVistaRoot, false, true), "S-1-5-11");
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
  // What to do depends on who it is: the installing administrator whose
  // token is split, another user's account, or Terminal Services' account.
  const ScopedLocalMemory wine_user = sid("S-1-5-21-0-0-0-1000");
  const ScopedLocalMemory owned = security("O:S-1-5-21-0-0-0-1000D:(A;;0x1301bf;;;S-1-5-13)");
  place.file_security = owned.get();
  const TTrust trusts[] = {{false, wine_user.get(), true}, {}, {false, wine_user.get(), false}};
  const char* const advice[] = {"User Account Control also runs that account's programs without",
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
  place.volume_keeps_permissions = false;
  place.on_network = false;
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

// Windows XP knows no linked token; under User Account Control the limited
// token of the pair holds Administrators for denying only; Wine's holds it
// enabled, so nothing of that account runs without administrator rights.
struct {
  DWORD type_error;
  TOKEN_ELEVATION_TYPE type;
  bool linked;
  DWORD administrators;  // its attributes in the limited token
} answers;

BOOL WINAPI fake_token_information(HANDLE, TOKEN_INFORMATION_CLASS kind, void* out, DWORD, DWORD* needed) {
  static BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
  *needed = sizeof(TOKEN_GROUPS);
  SetLastError(answers.type_error);
  if (kind == TokenElevationType && answers.type_error == 0)
    *static_cast<TOKEN_ELEVATION_TYPE*>(out) = answers.type;
  if (kind == TokenLinkedToken && answers.linked)
    static_cast<TOKEN_LINKED_TOKEN*>(out)->LinkedToken = CreateEventA(nullptr, 0, 0, nullptr);
  if (kind == TokenGroups && out != nullptr)
    *static_cast<TOKEN_GROUPS*>(out) = TOKEN_GROUPS{1, {{administrators, answers.administrators}}};
  return kind == TokenElevationType ? answers.type_error == 0
         : kind == TokenLinkedToken ? answers.linked
                                    : out != nullptr;
}

TEST(InstallLocationTest, ATokenIsSplitWhereItsLimitedTwinHasNoAdministrators) {
  const std::pair<decltype(answers), bool> rows[] = {
      {{ERROR_INVALID_PARAMETER, TokenElevationTypeDefault, false, 0}, false},  // Windows XP
      {{ERROR_ACCESS_DENIED, TokenElevationTypeDefault, false, 0}, true},
      {{0, TokenElevationTypeDefault, false, 0}, false},  // User Account Control off
      {{0, TokenElevationTypeFull, true, SE_GROUP_USE_FOR_DENY_ONLY}, true},
      {{0, TokenElevationTypeFull, true, SE_GROUP_ENABLED}, false},  // Wine
      {{0, TokenElevationTypeFull, false, 0}, true}};
  win32_calls().get_token_information = fake_token_information;
  for (const auto& [row, split] : rows) {
    answers = row;
    EXPECT_EQ(token_is_split(nullptr), split)
        << row.type_error << " " << row.type << " " << row.administrators;
  }
  win32_calls() = Win32Calls{};
}

}  // namespace
