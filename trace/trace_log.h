// The trace log: a plain-text file beside the executable, recreated at every
// start, plus a copy of every traced line on the debugger output.
//
// Entry and exit lines (">> name", "<< name") go at level 2, messages at
// level 1; the trace level set by the start parameters "-d" (1) and "-t" (2)
// decides what is written. Lines starting with ">" or "<" move an indent.
// Every call is safe from any thread and writes its line whole.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The process-wide log, used through the free functions below.
void open_trace_log(const std::string& executable_path);
void write_trace_header(const std::string& executable_path);
void parse_trace_options(std::vector<std::string>* parameters);
void trace(const std::string& text, int level);
void trace_timed(const std::string& text, int level);
void close_trace_log();

// For a crashed process: neither allocates, and both wait for the log's
// lock at most wait_milliseconds (the crashed thread may hold it for good).
// trace_crash_line writes the text as one line, flush left, whatever the
// trace level; trace_log_folder copies the folder of the open log file. Both
// return false when the lock stayed taken or there is no log file (or, for
// the folder, it does not fit).
bool trace_crash_line(const char* text, unsigned long wait_milliseconds);
bool trace_log_folder(char* folder, std::size_t size, unsigned long wait_milliseconds);

// The log file name for an executable: its extension replaced by ".txt", or
// ".txt" appended when it has none.
std::string trace_log_file_name(const std::string& executable_path);

// Where the log goes when the executable's folder cannot take it: the folder
// named by APPDATA, one delimiter, and the file-name part of the log name.
std::string trace_log_fallback_path(const std::string& appdata, const std::string& log_file_name);

// The file-name part of a path: everything after the last "\", "/" or ":".
std::string file_name_part(const std::string& path);

// "  Mmm dd yyyy  hh:mm:ss", when this unit was built.
std::string trace_build_stamp();

// The current local time in the locale's long time format.
std::string local_time_text();

// One trace log with its own state. The process has one (behind the free
// functions); tests make their own.
class TraceLog {
 public:
  using DebugWriter = std::function<void(const std::string&)>;

  TraceLog();  // debugger copy through OutputDebugStringA
  explicit TraceLog(DebugWriter debug_writer);
  ~TraceLog();
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  void open(const std::string& executable_path);
  void write_header(const std::string& executable_path);
  void parse_options(std::vector<std::string>* parameters);
  void trace(const std::string& text, int level);
  void trace_timed(const std::string& text, int level);
  void close();
  bool try_write_line(const char* text, unsigned long wait_milliseconds);
  bool try_copy_folder(char* folder, std::size_t size, unsigned long wait_milliseconds) const;

  int level() const;
  int indent() const;

 private:
  void open_file(const std::string& path);

  // Timed: the crash record waits for it only so long.
  mutable std::timed_mutex mutex_;
  DebugWriter debug_writer_;
  int level_ = 0;
  int indent_ = 0;
  std::unique_ptr<std::ofstream> file_;
  bool created_ = false;
  std::string opened_path_;  // the file the log writes to; empty when none
  // Unit-buffered: every write reaches the file at once.
  std::ostream sink_;
};
