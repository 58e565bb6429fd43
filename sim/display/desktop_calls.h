// The desktops of the simulated blade's interactive window station, as a
// service sees them while nobody is logged on: every thread starts on
// "Default", and the desktop that receives input is Winlogon's. A thread
// changes the display mode (ChangeDisplaySettingsA) only from the input
// desktop, so a resolution change shows by its effect whether the thread
// went there. Kept in the process, as Windows keeps a thread's desktop;
// each call is written to the call log.
//
// The display set's FailDesktop value makes one call fail as Windows lets
// it fail:
//   GetThreadDesktop   NULL (ERROR_INVALID_PARAMETER), as for a thread
//                      that is not connected to a desktop
//   OpenInputDesktop   NULL (ERROR_ACCESS_DENIED), as for a process whose
//                      window station cannot receive input
//   SetThreadDesktop   FALSE (ERROR_BUSY) when the thread would leave
//                      "Default", as for a thread with a window there
#pragma once

#include <windows.h>

#include <string>

namespace display_stand_in {

extern const char kInputDesktop[];

// In place of the host's imports while a display set is selected.
HDESK WINAPI get_thread_desktop(DWORD thread);
HDESK WINAPI open_input_desktop(DWORD flags, BOOL inherit, ACCESS_MASK access);
BOOL WINAPI set_thread_desktop(HDESK desktop);
BOOL WINAPI close_desktop(HDESK desktop);

// The name of the calling thread's simulated desktop.
std::string current_desktop();

}  // namespace display_stand_in
