// The Windows display and desktop calls of the service, reached through one
// replaceable table. The service always uses the real functions; tests put a
// fake display set in their place, because Wine cannot report the devices,
// detach results and modes of a blade.
#pragma once

#include <windows.h>

struct DisplayApi {
  BOOL(WINAPI* EnumDisplayDevicesA)(LPCSTR device, DWORD number, PDISPLAY_DEVICEA record, DWORD flags);
  LONG(WINAPI* ChangeDisplaySettingsExA)
  (LPCSTR device, DEVMODEA* mode, HWND window, DWORD flags, LPVOID parameter);
  HDC(WINAPI* CreateDCA)(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* data);
  BOOL(WINAPI* DeleteDC)(HDC dc);
  BOOL(WINAPI* EnumDisplaySettingsA)(LPCSTR device, DWORD mode_number, DEVMODEA* mode);
  // Used by the resolution change of the display policy.
  int(WINAPI* GetSystemMetrics)(int index);
  LONG(WINAPI* ChangeDisplaySettingsA)(DEVMODEA* mode, DWORD flags);
  HDESK(WINAPI* GetThreadDesktop)(DWORD thread_id);
  HDESK(WINAPI* OpenInputDesktop)(DWORD flags, BOOL inherit, ACCESS_MASK access);
  BOOL(WINAPI* SetThreadDesktop)(HDESK desktop);
  BOOL(WINAPI* CloseDesktop)(HDESK desktop);
};

// The table of the real functions.
DisplayApi real_display_api();

// The table in use; the real functions until replaced.
const DisplayApi& display_api();

// Puts a table in place and returns the one it replaces.
DisplayApi replace_display_api(const DisplayApi& api);
