#include "tests/display/stand_in.h"

#include <windows.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "display/atidll.h"
#include "sim/ati/ati_state.h"

std::string stand_in_build_file(const std::string& build) {
  char executable[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, executable, sizeof executable);
  std::string folder(executable, length);
  folder.erase(folder.find_last_of('\\') + 1);
  std::string path = folder + XV_SIM_ATI_DIR + "/" + build + "/atipdlxx.dll";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

void install_stand_in(const std::string& build) {
  const std::string target = ATI_library_path();
  if (build.empty()) {
    if (!DeleteFileA(target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      throw std::runtime_error("cannot remove " + target);
    }
    return;
  }
  const std::string source = stand_in_build_file(build);
  if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + source + " to " + target + ", error " +
                             std::to_string(GetLastError()));
  }
}

const std::string& own_stand_in_build() {
  static const std::string build = XV_ATI_BUILD;
  return build;
}

ScopedStandInBuild::ScopedStandInBuild(const std::string& build) { install_stand_in(build); }

ScopedStandInBuild::~ScopedStandInBuild() {
  try {
    install_stand_in(own_stand_in_build());
  } catch (const std::exception& error) {
    // The next test process installs its build again; say why this one could not.
    std::fprintf(stderr, "%s\n", error.what());
  }
}

std::vector<std::string> stand_in_calls() {
  std::vector<std::string> lines;
  std::istringstream log(ati_stand_in::read_call_log());
  std::string line;
  while (std::getline(log, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}
