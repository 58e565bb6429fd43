// A fresh folder under the temporary directory for one test, removed with its
// files when the test ends; and a whole file read back.
#pragma once

#include <windows.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

class TempFolder {
 public:
  explicit TempFolder(const char* prefix = "xvtest") {
    static std::atomic<int> counter{0};
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    path_ =
        std::string(base) + prefix + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::string& name : names()) {
      if (!DeleteFileA(file(name).c_str())) RemoveDirectoryA(file(name).c_str());
    }
    RemoveDirectoryA(path_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string file(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }
  void touch(const std::string& name) const { std::ofstream(file(name)) << name; }

  // The names of the files and folders in it.
  std::set<std::string> names() const {
    std::set<std::string> found;
    WIN32_FIND_DATAA entry;
    const HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
      const std::string name = entry.cFileName;
      if (name != "." && name != "..") found.insert(name);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return found;
  }

 private:
  std::string path_;
};

inline std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}
