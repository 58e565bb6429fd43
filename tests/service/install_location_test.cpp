// Where /install refuses to register the executable. Wine does not keep a
// file's DACL (it stores only the Unix mode and makes one up from it), so the
// rule is driven here by security descriptors built from SDDL texts.
#include "service/install_location.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "common/scoped.h"

namespace {

const char kAdministrator[] = "S-1-5-21-1-2-3-1000";

ScopedLocalMemory security(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                   nullptr))
      << sddl;
  return ScopedLocalMemory(descriptor);
}

ScopedLocalMemory sid(const char* text) {
  PSID account = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidA(text, &account)) << text;
  return ScopedLocalMemory(account);
}

// The untrusted writer's SID text, or "" when there is none.
std::string writer_of(const std::string& sddl, bool administrator_installs) {
  const ScopedLocalMemory descriptor = security(sddl);
  const ScopedLocalMemory administrator = sid(kAdministrator);
  const ScopedLocalMemory everyone = sid("S-1-1-0");
  PSID writer = untrusted_writer(descriptor.get(), administrator_installs ? administrator.get() : nullptr,
                                 everyone.get());
  if (writer == nullptr) return "";
  char* text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidA(writer, &text));
  const ScopedLocalMemory owned(text);
  return text;
}

struct Row {
  const char* sddl;
  const char* writer;  // "" when the place is safe
};

const char kSafe[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

TEST(InstallLocationTest, AnyoneButTheSystemsOwnAccountsWhoCanChangeTheObjectIsFound) {
  const Row rows[] = {
      {kSafe, ""},
      {"O:BAD:(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;FA;;;CO)", ""},
      {"O:BAD:(A;OICIIO;GA;;;BU)(A;;0x1200a9;;;WD)(A;;0x100;;;BU)", ""},  // children only
      {"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", "S-1-5-32-545"},   // modify
      {"O:BAD:(A;;0x2;;;AU)", "S-1-5-11"},                                // write, add a file
      {"O:BAD:(A;;0x4;;;AU)", "S-1-5-11"},                                // append, add a folder
      {"O:BAD:(A;;0x40;;;AU)", "S-1-5-11"},                               // delete children
      {"O:BAD:(A;;SD;;;AU)", "S-1-5-11"},
      {"O:BAD:(A;;WD;;;AU)", "S-1-5-11"},
      {"O:BAD:(A;;WO;;;AU)", "S-1-5-11"},
      {"O:BAD:(A;;GW;;;AU)", "S-1-5-11"},  // generic rights count as what they map to
      {"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", "S-1-5-32-545"},
      {"O:BUD:(A;;FA;;;BA)", "S-1-5-32-545"},  // the owner may change the permissions
      {"O:BAD:(A;;FA;;;S-1-5-21-1-2-3-1000)", "S-1-5-21-1-2-3-1000"},
  };
  for (const Row& row : rows) EXPECT_EQ(writer_of(row.sddl, false), row.writer) << row.sddl;
  EXPECT_EQ(writer_of("O:S-1-5-21-1-2-3-1000D:(A;;FA;;;S-1-5-21-1-2-3-1000)", true), "");

  // No DACL at all: everyone may do everything.
  SECURITY_DESCRIPTOR open = {};
  const ScopedLocalMemory administrators = sid("S-1-5-32-544");
  const ScopedLocalMemory everyone = sid("S-1-1-0");
  InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&open, administrators.get(), FALSE);
  SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  EXPECT_EQ(untrusted_writer(&open, nullptr, everyone.get()), everyone.get());
}

TEST(InstallLocationTest, RefusalsNameTheFolderTheAccountAndWhatToDo) {
  const ScopedLocalMemory safe = security(kSafe);
  const ScopedLocalMemory users_modify = security("O:BAD:(A;;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
  TInstallPlace place;
  place.executable = "C:\\tools\\xvVistrell.exe";
  place.folder = "C:\\tools";
  place.folder_security = users_modify.get();
  place.file_security = safe.get();
  const std::string tail =
      ", so it could replace C:\\tools\\xvVistrell.exe, which runs as LocalSystem. Move the program into a "
      "folder under Program Files, or let only SYSTEM and Administrators change the folder and the file, "
      "then "
      "install again.";
  EXPECT_EQ(install_place_refusal(place),
            "The account BUILTIN\\Users can change the folder C:\\tools" + tail);
  place.folder_security = safe.get();
  place.file_security = users_modify.get();
  EXPECT_EQ(install_place_refusal(place), "The account BUILTIN\\Users can change the file" + tail);
  place.file_security = safe.get();
  EXPECT_EQ(install_place_refusal(place), "");

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

}  // namespace
