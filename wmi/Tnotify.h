// The hot-plug watcher: a thread that waits for the firmware's event about the
// diagnostic adapter and hands "Present" and "Absent" to the service as the
// custom control codes 1034 and 1035 through the control-request entry.
//
// The thread owns itself while it runs and lets go of itself when its loop
// ends (after a terminate request and the next event, or when a wait fails).
// Whoever else holds the watcher shares it, so a terminate request made after
// the thread has ended still finds a live object and has no effect.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <memory>
#include <string>

#include "common/scoped.h"

class TNotify {
 public:
  // Starts the watcher; suspended when asked (Resume starts it then). Raises
  // EOSError when the thread cannot be created. Every code goes to
  // control_entry with event type 0 and no event data or context.
  static std::shared_ptr<TNotify> Create(bool create_suspended, LPHANDLER_FUNCTION_EX control_entry);
  ~TNotify() = default;
  TNotify(const TNotify&) = delete;
  TNotify& operator=(const TNotify&) = delete;

  void Resume();
  // Only sets the end flag: the loop looks at it before each wait, so the
  // thread ends after the next event.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // True once the thread's loop has ended.
  bool Finished() const { return finished_; }

  // The loop; runs on the watcher's thread.
  void Execute();

 private:
  explicit TNotify(LPHANDLER_FUNCTION_EX control_entry);
  static unsigned __stdcall run(void* raw);
  void deliver(const std::string& state);

  LPHANDLER_FUNCTION_EX control_entry_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  // The thread's own reference, taken over by the thread when it starts.
  std::shared_ptr<TNotify> self_;
  ScopedHandle thread_;
};

// The firmware's hot-plug event and its values.
extern const char kHotplugNamespace[];
extern const char kHotplugEventQuery[];
extern const char kHotplugProperty[];

// Names the calling thread for debuggers without any risk of ending the
// process when no debugger is there to take the name.
void name_thread_for_debuggers(const char* name);
