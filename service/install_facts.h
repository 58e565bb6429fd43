// What the install rule reads about an executable's place, all through
// win32_calls(): the installing account, the Windows version, the drive, and
// every folder of the path and the file itself, each opened as the object it
// is (a junction, symbolic link or mount point is opened, never followed), so
// that what is judged is what a later start will run through.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/scoped.h"
#include "service/install_location.h"

// The facts, and the memory that their descriptors and SID lie in.
struct TReadPlace {
  TInstallPlace place;
  std::vector<ScopedLocalMemory> descriptors;
  std::unique_ptr<BYTE[]> installing_account;  // TOKEN_USER
};

// Reads the facts about the executable at the full path `executable`. A
// path that is a network one, not on a fixed drive, on a drive that stands
// for a folder, or on a volume without permissions is read no further; nor
// is anything below the first link. Raises an Exception when a folder or the
// file cannot be read.
TReadPlace read_install_place(const std::string& executable);
