// Whether a program file is still in use as a running image. Windows does not
// let a file be opened for writing while a process runs it (sharing
// violation); the installer then cannot replace it and schedules the
// replacement for the next boot instead.
#pragma once

#include <windows.h>

#include <string>

// Retries an exclusive open of the file for writing, every poll_ms, until it
// succeeds or timeout_ms have passed. True when no process holds the file any
// more (also when the file is missing or cannot be opened for another
// reason: then there is nothing to wait for); false when it is still in use
// at the end.
bool wait_for_image_release(const std::string& path, DWORD timeout_ms, DWORD poll_ms);
