// Where /install may register the executable. The service runs as
// LocalSystem, so whoever can replace xvVistrell.exe, or put a library of
// their own beside it, runs code as LocalSystem at the next start. /install
// therefore refuses a file or folder that anyone but the system's own
// accounts can change, a folder above it that such an account can rename
// away or whose permissions it can change, a link anywhere on the path, a
// drive that is no fixed local volume, and a program on a network share.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// Whom the rule trusts besides SYSTEM, Administrators, TrustedInstaller and
// the CREATOR OWNER placeholder.
struct TTrust {
  // Before Windows Vista, Power Users can make themselves administrators
  // (Microsoft treats the group as such), and an administrator's account
  // runs every program with administrator rights: both are trusted. From
  // Vista on, Power Users have no such rights, and User Account Control can
  // run the account's programs without them: its interactive logons, or all
  // of them once it is turned on, whatever the installing token looks like.
  // An elevated administrator's new files and folders belong to
  // Administrators there, so a place under Program Files needs no more.
  bool before_vista = false;
  // The account that runs the installation, when it is an administrator:
  // trusted before Vista, and named in the advice from Vista on.
  PSID installing_administrator = nullptr;
};

// The facts about one place, as the checks read them.
struct TInstallPlace {
  std::string executable;  // the full path as the process reports it
  std::string folder;      // its folder, without the final backslash
  bool path_cut_short = false;
  bool on_network = false;  // a UNC path or a drive of type DRIVE_REMOTE
  bool fixed_drive = true;  // a drive letter of type DRIVE_FIXED
  // The drive ("S:") when it stands for a folder (subst, DefineDosDevice),
  // not for a volume: the folders above that one are not on the path.
  std::string drive_of_a_folder;
  // The first folder (from the root down), or the file, that is a reparse
  // point: a junction, a symbolic link or a volume mounted there.
  std::string link;
  bool volume_keeps_permissions = true;
  PSECURITY_DESCRIPTOR folder_security = nullptr;  // owner and DACL
  PSECURITY_DESCRIPTOR file_security = nullptr;
  // The folders above the folder, nearest first, up to the drive's root.
  std::vector<std::pair<std::string, PSECURITY_DESCRIPTOR>> folders_above;
  TTrust trust;
};

// Who, besides the trusted accounts, holds one of the rights on the object:
// its owner when that is someone else (an owner can always change the
// permissions, so it holds every right), or the first such account that an
// allowing entry (plain or object) grants one of them. Null when nobody. A missing DACL lets
// everyone do everything (the well-known Everyone, returned in *everyone,
// which the caller provides).
PSID untrusted_holder(PSECURITY_DESCRIPTOR security, ACCESS_MASK rights, const TTrust& trust, PSID everyone);

// The same for the rights that change the program's file or folder: write,
// append (add a file or folder), delete it or its children, change its
// permissions or owner.
PSID untrusted_writer(PSECURITY_DESCRIPTOR security, const TTrust& trust, PSID everyone);

// The account's name as "DOMAIN\name" (just "name" without a domain), or its
// SID text when the system cannot name it.
std::string account_name(PSID account);

// Why /install must refuse the place, or empty when it may register it.
std::string install_place_refusal(const TInstallPlace& place);

// Reads the facts about the running executable's place and raises an
// Exception with the refusal text when /install must not register it.
void check_install_place();

// The same for the executable at a full path (the package's installed one).
// Reads through win32_calls() only; needs advapi32.
void check_install_place(const std::string& executable);
