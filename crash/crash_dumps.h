// The minidumps of the crash handler: writing one with dbghelp.dll from the
// system directory, and keeping only the newest few. Both run inside a
// crashed process: fixed buffers, no heap allocation of their own.
#pragma once

#include <windows.h>

// How many dumps a folder keeps, the new one included.
constexpr int kDumpsKept = 5;

// Deletes the oldest dumps BASE-*.dmp of the folder until fewer than `keep`
// remain, so that the next one makes `keep`. Dump names sort by their time.
// Returns how many it deleted.
int prune_dumps(const char* folder, const char* base_name, int keep);

// Writes a minidump of this process with the exception's thread and context.
// Returns 0, or the system error that prevented it (a partly written file is
// deleted).
DWORD write_minidump(const char* path, EXCEPTION_POINTERS* exception, DWORD thread_id);
