// Both views of what a case of the service module writes (trace_views): the
// case runs first with a module, neighbours and Win32 recorders of its own and
// the log at level 1, then with the test's own at level 2, which the checks
// after it see.
#pragma once

#include <functional>

#include "service/main.h"
#include "tests/display/trace_capture.h"
#include "tests/service/fake_win32.h"
#include "tests/service/module_fakes.h"

using ModuleCase = std::function<void(FakeNeighbours&, TxvVistrell&)>;

// prepare gives the first run's neighbours what the test's own were given
// before the case.
inline TraceViews module_trace_views(FakeNeighbours& fakes, TxvVistrell& module,
                                     const std::function<void(FakeNeighbours&)>& prepare,
                                     const ModuleCase& run_case) {
  return trace_views([&](int level) {
    if (level == 2) return run_case(fakes, module);
    const FakeWin32 own_win32;
    FakeNeighbours own_fakes;
    if (prepare) prepare(own_fakes);
    TxvVistrell own_module{nullptr};
    run_case(own_fakes, own_module);
  });
}
