#include "crash/crash_dumps.h"

#include <dbghelp.h>

#include <cstring>

#include "crash/crash_text.h"

namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);
using SymSetOptionsFunction = DWORD(WINAPI*)(DWORD);

// A dump needs no symbols, and the option changes nothing in it. Without it
// Wine's MiniDumpWriteDump first reads the debug information of every module
// of the process, which kept a crashed service alive for up to half a minute.
void defer_symbol_loads(HMODULE dbghelp) {
  const auto set_options = reinterpret_cast<SymSetOptionsFunction>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymSetOptions")));
  if (set_options != nullptr) set_options(SYMOPT_DEFERRED_LOADS);
}

// A scan of the folder: how many dumps it holds and the path of the oldest.
int count_dumps(const char* pattern, const char* folder, char* oldest, std::size_t oldest_size) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  char oldest_name[MAX_PATH] = "";
  int count = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    ++count;
    if (oldest_name[0] == '\0' || std::strcmp(found.cFileName, oldest_name) < 0) {
      FixedText name(oldest_name, sizeof oldest_name);
      name.add(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  FixedText path(oldest, oldest_size);
  path.add(folder).add("\\").add(oldest_name);
  return path.truncated() ? 0 : count;
}

}  // namespace

int prune_dumps(const char* folder, const char* base_name, int keep) {
  char pattern[MAX_PATH];
  FixedText text(pattern, sizeof pattern);
  text.add(folder).add("\\").add(base_name).add("-*.dmp");
  if (text.truncated()) return 0;

  char oldest[MAX_PATH];
  int deleted = 0;
  // Bounded: a file that cannot be deleted ends the pruning.
  while (count_dumps(pattern, folder, oldest, sizeof oldest) >= keep && keep > 0) {
    if (!DeleteFileA(oldest)) break;
    ++deleted;
  }
  return deleted;
}

DWORD write_minidump(const char* path, EXCEPTION_POINTERS* exception, DWORD thread_id) {
  // The system's own dbghelp.dll only, never one beside the executable.
  char library_path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(library_path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return GetLastError() != 0 ? GetLastError() : ERROR_PATH_NOT_FOUND;
  FixedText library(library_path + length, MAX_PATH - length);
  library.add("\\dbghelp.dll");
  if (library.truncated()) return ERROR_FILENAME_EXCED_RANGE;

  const HMODULE dbghelp = LoadLibraryExA(library_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (dbghelp == nullptr) return GetLastError();
  const auto write_dump = reinterpret_cast<MiniDumpWriteDumpFunction>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  DWORD error = write_dump == nullptr ? GetLastError() : ERROR_SUCCESS;
  if (write_dump != nullptr) {
    defer_symbol_loads(dbghelp);
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else {
      MINIDUMP_EXCEPTION_INFORMATION information = {thread_id, exception, FALSE};
      if (!write_dump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                      exception != nullptr ? &information : nullptr, nullptr, nullptr))
        error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
      CloseHandle(file);
      if (error != ERROR_SUCCESS) DeleteFileA(path);
    }
  }
  FreeLibrary(dbghelp);
  return error;
}
