// Records the texts the code under test writes to the process trace log, as
// they were handed to trace(), without the log's indentation. The log copies
// every line to the debugger output; a vectored exception handler takes it
// from there, so the log itself is used unchanged, at level 2 unless the
// capture asks for level 1 (then only what is written at level 1 arrives,
// which is how a test tells a message's level).
#pragma once

#include <string>
#include <vector>

class TraceCapture {
 public:
  explicit TraceCapture(int level = 2);
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  const std::vector<std::string>& texts() const { return texts_; }
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
  int indent_ = -1;
  void* handler_ = nullptr;
};
