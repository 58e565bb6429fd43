// Where /install may register the executable. The service runs as
// LocalSystem, so whoever can replace xvVistrell.exe, or put a library of
// their own beside it, runs code as LocalSystem at the next start. /install
// therefore refuses a file or folder that anyone but the system's own
// accounts can change.
#pragma once

#include <windows.h>

#include <string>

// The facts about one place, as the checks read them.
struct TInstallPlace {
  std::string executable;  // the full path as the process reports it
  std::string folder;      // its folder, without the final backslash
  bool path_cut_short = false;
  bool volume_keeps_permissions = true;
  PSECURITY_DESCRIPTOR folder_security = nullptr;  // owner and DACL
  PSECURITY_DESCRIPTOR file_security = nullptr;
  // The account that runs the installation, when it is an administrator:
  // giving it rights gives them to an administrator. Null otherwise.
  PSID installing_administrator = nullptr;
};

// Who, besides SYSTEM, Administrators, TrustedInstaller and the CREATOR
// OWNER placeholder (and the installing administrator), can write the object,
// append to it, add files to it, delete it or its children, or change its
// owner or permissions: its owner when that is someone else, or the first
// such account that an allowing entry names. Null when nobody. A missing DACL
// lets everyone do everything (the well-known Everyone, returned in
// *everyone, which the caller provides).
PSID untrusted_writer(PSECURITY_DESCRIPTOR security, PSID installing_administrator, PSID everyone);

// The account's name as "DOMAIN\name" (just "name" without a domain), or its
// SID text when the system cannot name it.
std::string account_name(PSID account);

// Why /install must refuse the place, or empty when it may register it.
std::string install_place_refusal(const TInstallPlace& place);

// Reads the facts about the running executable's place and raises an
// Exception with the refusal text when /install must not register it.
void check_install_place();
