// The texts a TraceCapture took, with the time in front of a timed line
// replaced by "@ ", so tests can tell trace_timed lines from trace lines.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "tests/display/trace_capture.h"

inline std::vector<std::string> trace_lines(const TraceCapture& capture) {
  static const std::regex time_prefix(R"(^\d{1,2}:\d{2}:\d{2}( ?[AaPp][Mm])? )");
  std::vector<std::string> lines;
  for (const std::string& text : capture.texts()) {
    std::smatch match;
    if (std::regex_search(text, match, time_prefix))
      lines.push_back("@ " + text.substr(static_cast<std::size_t>(match.length(0))));
    else
      lines.push_back(text);
  }
  return lines;
}
