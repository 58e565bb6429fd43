// Compares both views of what a case wrote (see trace_views), each line
// whole: the level-2 view as given, the level-1 view as given or, when
// omitted, the level-2 view without its entry and exit lines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/display/trace_capture.h"

inline void expect_views(const TraceViews& views, const std::vector<std::string>& level_two) {
  EXPECT_EQ(views.level_two, level_two) << "at level 2 (-t)";
  EXPECT_EQ(views.level_one, without_entry_and_exit(level_two)) << "at level 1 (-d)";
}

inline void expect_views(const TraceViews& views, const std::vector<std::string>& level_one,
                         const std::vector<std::string>& level_two) {
  EXPECT_EQ(views.level_two, level_two) << "at level 2 (-t)";
  EXPECT_EQ(views.level_one, level_one) << "at level 1 (-d)";
}
