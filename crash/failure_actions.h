// What the service control manager does when the service process ends
// without reporting "stopped" (a crash): restart after a minute, once more
// after another minute, then nothing; the count of failures starts again
// after a day without one. A crash loop so costs at most two restarts a day.
//
// The one place of these values: /install sets them through
// ChangeServiceConfig2A, and the installer package's custom action
// (packaging/setup_actions.cpp) sets the same.
#pragma once

#include <windows.h>
#include <winsvc.h>

constexpr DWORD kFailureResetPeriodSeconds = 24 * 60 * 60;
constexpr DWORD kRestartDelayMilliseconds = 60 * 1000;
constexpr int kFailureActionCount = 3;

// The actions for the first, second and every later failure.
inline const SC_ACTION* service_failure_action_list() {
  static const SC_ACTION actions[kFailureActionCount] = {
      {SC_ACTION_RESTART, kRestartDelayMilliseconds},
      {SC_ACTION_RESTART, kRestartDelayMilliseconds},
      {SC_ACTION_NONE, 0},
  };
  return actions;
}

// The record for ChangeServiceConfig2A(SERVICE_CONFIG_FAILURE_ACTIONS): no
// reboot message and no command (left as they are).
inline SERVICE_FAILURE_ACTIONSA service_failure_actions() {
  SERVICE_FAILURE_ACTIONSA record = {};
  record.dwResetPeriod = kFailureResetPeriodSeconds;
  record.cActions = kFailureActionCount;
  record.lpsaActions = const_cast<SC_ACTION*>(service_failure_action_list());
  return record;
}
