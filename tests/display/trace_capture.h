// Records the texts the code under test writes to the process trace log, as
// they were handed to trace(), without the log's indentation. The log copies
// every line to the debugger output; a vectored exception handler takes it
// from there, so the log itself is used unchanged, at level 2 unless the
// capture asks for level 1 (then only what is written at level 1 arrives,
// which is how a test tells a message's level). A capture made while another
// one is active takes the lines until it ends; then the other one takes
// them again, at its own level.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TraceCapture {
 public:
  explicit TraceCapture(int level = 2);
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  const std::vector<std::string>& texts() const { return texts_; }
  // The texts with the time in front of a timed line replaced by "@ ", so a
  // comparison tells trace_timed lines from trace lines.
  std::vector<std::string> lines() const;
  // Only the messages (no ">> " or "<< " lines).
  std::vector<std::string> messages() const;
  bool has(const std::string& text) const;
  // Position of the first text equal to the given one, -1 when absent.
  int index_of(const std::string& text) const;
  int count_starting_with(const std::string& prefix) const;

  // Called by the handler with each raw debugger line.
  void take(const std::string& raw);

 private:
  std::vector<std::string> texts_;
  int level_;
  int indent_ = -1;
  void* handler_ = nullptr;
  TraceCapture* previous_;
};

// What a case writes to the log at level 1 (what "-d" writes) and at level 2
// (what "-t" adds), as TraceCapture::lines gives them.
struct TraceViews {
  std::vector<std::string> level_one;
  std::vector<std::string> level_two;
};

// Runs the case twice, once for each level, with the level passed; reset,
// when given, runs in between, with nothing captured, and puts back the
// state the case starts from.
TraceViews trace_views(const std::function<void(int level)>& run_case,
                       const std::function<void()>& reset = {});

// The level-1 view of lines whose messages are all written at level 1: the
// lines without the entry and exit lines.
std::vector<std::string> without_entry_and_exit(const std::vector<std::string>& lines);
