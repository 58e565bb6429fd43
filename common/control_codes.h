// The custom control codes of the hot-plug watcher. They travel like the
// platform's own control codes but lie above 255, outside what other
// processes may send with ControlService, so they are delivered only inside
// the process.
#pragma once

#include <windows.h>

// The diagnostic adapter has been attached (the firmware reports "Present").
constexpr DWORD CONTROL_ADAPTER_ATTACHED = 1034;
// The diagnostic adapter has been detached (the firmware reports "Absent").
constexpr DWORD CONTROL_ADAPTER_DETACHED = 1035;
