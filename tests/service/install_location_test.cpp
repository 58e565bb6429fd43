// Wine keeps no DACL (it makes one from the Unix mode): built ones instead.
#include "service/install_location.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include "common/scoped.h"

namespace {

ScopedLocalMemory security(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr));
  return ScopedLocalMemory(descriptor);
}

// The SID text of the writer untrusted_writer finds in the SDDL text, or "".
std::string writer(const char* sddl, const char* administrator = "S-1-5-21-1-2-3-1000") {
  PSID installer = nullptr, everyone = nullptr, found = nullptr;
  ConvertStringSidToSidA(administrator, &installer);
  ConvertStringSidToSidA("S-1-1-0", &everyone);
  const ScopedLocalMemory owned_installer(installer), owned_everyone(everyone);
  SECURITY_DESCRIPTOR no_dacl = {
      SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, nullptr, nullptr, nullptr, nullptr};
  // The found SID lies inside the descriptor: it lives until the text is made.
  const ScopedLocalMemory built = sddl != nullptr ? security(sddl) : ScopedLocalMemory();
  found = untrusted_writer(built ? built.get() : &no_dacl, installer, everyone);  // a null DACL: everyone
  char* text = nullptr;
  if (found == nullptr || !ConvertSidToStringSidA(found, &text)) return "";
  const ScopedLocalMemory owned(text);
  return text;
}

TEST(InstallLocationTest, AnyoneButTheSystemsOwnAccountsWhoCanChangeTheObjectIsFound) {
  const char* const safe[] = {
      "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x100;;;BU)",
      "O:BAD:(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;FA;;;CO)",
      "O:S-1-5-21-1-2-3-1000D:(A;;FA;;;S-1-5-21-1-2-3-1000)",  // the installing administrator
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
  EXPECT_EQ(writer(safe[2], "S-1-5-32-545"), "S-1-5-21-1-2-3-1000");
  EXPECT_EQ(writer(nullptr), "S-1-1-0");
}

TEST(InstallLocationTest, RefusalsNameTheFolderTheAccountAndWhatToDo) {
  const ScopedLocalMemory safe = security("O:BAD:(A;;FA;;;BA)");
  const ScopedLocalMemory users_modify = security("O:BAD:(A;;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
  TInstallPlace place{"C:\\tools\\xvVistrell.exe", "C:\\tools", false, true, users_modify.get(), safe.get()};
  const std::string tail =
      ", so it could replace C:\\tools\\xvVistrell.exe, which runs as LocalSystem. Move the program into a "
      "folder under Program Files, or let only SYSTEM and Administrators change the folder and the file, "
      "then "
      "install again.";
  EXPECT_EQ(install_place_refusal(place),
            "The account BUILTIN\\Users can change the folder C:\\tools" + tail);
  std::swap(place.folder_security, place.file_security);
  EXPECT_EQ(install_place_refusal(place), "The account BUILTIN\\Users can change the file" + tail);
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
