// The minidumps of the crash handler: writing one with dbghelp.dll from the
// system directory, and keeping only the newest few. Both run inside a
// crashed process: fixed buffers, no heap allocation of their own.
#pragma once

#include <windows.h>

#include <dbghelp.h>

// How many dumps a folder keeps, the new one included.
constexpr int kDumpsKept = 5;

// Deletes the oldest dumps BASE-*.dmp of the folder until fewer than `keep`
// remain, so that the next one makes `keep`. Dump names sort by their time.
// Returns how many it deleted.
int prune_dumps(const char* folder, const char* base_name, int keep);

// MiniDumpWriteDump of the system directory's dbghelp.dll, loaded before any
// crash: loading a library takes the loader lock, which the crashed thread or
// another one may hold. The library stays loaded for the life of the process.
class DumpWriter {
 public:
  using Function = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                 PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

  DumpWriter() = default;
  // A writer that calls `function` in place of dbghelp's: a dump that fails
  // midway, which dbghelp cannot be made to do.
  explicit DumpWriter(Function function) : function_(function), load_error_(ERROR_SUCCESS) {}

  // Loads dbghelp.dll and finds the function; 0 or the system error.
  DWORD load();

  // Writes a minidump of this process, with the exception's thread and
  // context, into a new file with the given security. Returns 0, or the
  // system error that prevented it: the error of load() when that failed,
  // ERROR_FILE_EXISTS when the path is taken. The file stays marked for
  // deletion until the dump is complete, so one cut off by a failure or by
  // the end of the process does not remain.
  DWORD write(const char* path, EXCEPTION_POINTERS* exception, DWORD thread_id,
              SECURITY_ATTRIBUTES* security) const;

 private:
  Function function_ = nullptr;
  DWORD load_error_ = ERROR_INVALID_FUNCTION;  // until load()
};
