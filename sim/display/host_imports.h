// Redirects imports of the host image, the executable the process started
// from, to other functions: the way the display stand-in answers the display
// calls of a statically linked program that it cannot otherwise reach.
#pragma once

#include <windows.h>

#include <vector>

namespace display_stand_in {

struct ImportReplacement {
  const char* name;    // the function's exported name
  ULONG_PTR function;  // what the host calls instead
};

// Points the host's import address table slots of these functions, imported
// by name from that DLL, at the replacements. Returns how many slots changed.
int replace_imports(HMODULE host, const char* dll, const std::vector<ImportReplacement>& replacements);

}  // namespace display_stand_in
