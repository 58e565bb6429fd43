// Helpers of the crash handler's tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

// A fresh folder under the temporary directory, removed with its files.
class CrashTempFolder {
 public:
  CrashTempFolder() {
    static std::atomic<int> counter{0};
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    path_ = std::string(base) + "xvcrash" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(counter++);
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~CrashTempFolder() {
    for (const std::string& name : names()) {
      if (!DeleteFileA(file(name).c_str())) RemoveDirectoryA(file(name).c_str());
    }
    RemoveDirectoryA(path_.c_str());
  }
  CrashTempFolder(const CrashTempFolder&) = delete;
  CrashTempFolder& operator=(const CrashTempFolder&) = delete;

  std::string file(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }
  void touch(const std::string& name) const { std::ofstream(file(name)) << name; }

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
