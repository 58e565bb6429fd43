// Puts a build of the ATI display library stand-in where the service loads
// it from, the system directory of the test prefix. One system directory
// holds one build at a time, so every test that does this holds the CTest
// resource lock "ati_sim".
#pragma once

#include <string>
#include <vector>

// The file of a stand-in build ("stdcall", "cdecl", "missing_export").
std::string stand_in_build_file(const std::string& build);

// Copies the build into the system directory; an empty build removes the
// library from there. Throws std::runtime_error when that fails.
void install_stand_in(const std::string& build);

// The build this test binary runs against.
const std::string& own_stand_in_build();

// Another build (or none) for the scope; the own build afterwards.
class ScopedStandInBuild {
 public:
  explicit ScopedStandInBuild(const std::string& build);
  ~ScopedStandInBuild();
  ScopedStandInBuild(const ScopedStandInBuild&) = delete;
  ScopedStandInBuild& operator=(const ScopedStandInBuild&) = delete;
};

// The stand-in's call log, one call a line, since the last reset.
std::vector<std::string> stand_in_calls();
