// Where /install may register the executable. The service runs as
// LocalSystem, so whoever can replace xvVistrell.exe, or put a library of
// their own beside it, runs code as LocalSystem at the next start. /install
// therefore refuses a file or folder that anyone but the system's own
// accounts can change, a folder above it that such an account can rename
// away or whose permissions it can change, and a program on a network share.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// Whom the rule trusts besides SYSTEM, Administrators, TrustedInstaller and
// the CREATOR OWNER placeholder.
struct TTrust {
  // Before Windows Vista, Power Users can make themselves administrators
  // (Microsoft treats the group as such); from Vista on the group has no
  // such rights and is not trusted.
  bool power_users = false;
  // The account that runs the installation, when it is an administrator.
  PSID installing_administrator = nullptr;
  // That account also runs programs without administrator rights under the
  // same SID (User Account Control gave it a limited token besides the full
  // one): its entries count as untrusted.
  bool installing_token_split = false;
};

// The facts about one place, as the checks read them.
struct TInstallPlace {
  std::string executable;  // the full path as the process reports it
  std::string folder;      // its folder, without the final backslash
  bool path_cut_short = false;
  bool on_network = false;  // a UNC path or a drive of type DRIVE_REMOTE
  bool volume_keeps_permissions = true;
  PSECURITY_DESCRIPTOR folder_security = nullptr;  // owner and DACL
  PSECURITY_DESCRIPTOR file_security = nullptr;
  // The folders above the folder, nearest first, up to the volume's root.
  std::vector<std::pair<std::string, PSECURITY_DESCRIPTOR>> folders_above;
  TTrust trust;
};

// Who, besides the trusted accounts, holds one of the rights on the object:
// its owner when that is someone else (an owner can always change the
// permissions, so it holds every right), or the first such account that an
// allowing entry grants one of them. Null when nobody. A missing DACL lets
// everyone do everything (the well-known Everyone, returned in *everyone,
// which the caller provides).
PSID untrusted_holder(PSECURITY_DESCRIPTOR security, ACCESS_MASK rights, const TTrust& trust, PSID everyone);

// The same for the rights that change the program's file or folder: write,
// append (add a file or folder), delete it or its children, change its
// permissions or owner.
PSID untrusted_writer(PSECURITY_DESCRIPTOR security, const TTrust& trust, PSID everyone);

// Whether the token's user also runs programs without administrator rights:
// the token has a linked token (TokenElevationType Full or Limited), and the
// limited one of the pair holds no enabled Administrators. No linked token
// (Windows XP and Server 2003, whose GetTokenInformation fails with
// ERROR_INVALID_PARAMETER; User Account Control off; the built-in
// Administrator) is not split. Any other failure counts as split. Reads
// through win32_calls().get_token_information.
bool token_is_split(HANDLE token);

// The account's name as "DOMAIN\name" (just "name" without a domain), or its
// SID text when the system cannot name it.
std::string account_name(PSID account);

// Why /install must refuse the place, or empty when it may register it.
std::string install_place_refusal(const TInstallPlace& place);

// Reads the facts about the running executable's place and raises an
// Exception with the refusal text when /install must not register it.
void check_install_place();

// The same for the executable at the full path: the file the installer
// package has put in place, which it registers as the service's program.
void check_install_place(const std::string& executable);
