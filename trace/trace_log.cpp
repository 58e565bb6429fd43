#include "trace/trace_log.h"

#include <windows.h>

#include <iostream>

namespace {

const char kDelimiters[] = "\\/:";

void write_to_debugger(const std::string& line) { OutputDebugStringA(line.c_str()); }

// The process-wide log lives until the process ends and is never destroyed,
// so a thread that traces while the process exits still finds a valid lock;
// the file is closed by the exit-time routine below.
TraceLog& process_trace_log() {
  static TraceLog* log = new TraceLog();
  return *log;
}

struct CloseAtExit {
  CloseAtExit() { process_trace_log(); }
  ~CloseAtExit() { close_trace_log(); }
};
CloseAtExit close_at_exit;

}  // namespace

std::string trace_log_file_name(const std::string& executable_path) {
  const std::size_t dot = executable_path.find_last_of('.');
  const std::size_t folder = executable_path.find_last_of(kDelimiters);
  const bool has_extension = dot != std::string::npos && (folder == std::string::npos || dot > folder);
  return (has_extension ? executable_path.substr(0, dot) : executable_path) + ".txt";
}

std::string file_name_part(const std::string& path) {
  const std::size_t folder = path.find_last_of(kDelimiters);
  return folder == std::string::npos ? path : path.substr(folder + 1);
}

std::string trace_log_fallback_path(const std::string& appdata, const std::string& log_file_name) {
  std::string folder = appdata;
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  return folder + file_name_part(log_file_name);
}

std::string trace_build_stamp() { return std::string("  ") + __DATE__ + "  " + __TIME__; }

std::string local_time_text() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[80];
  if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, text, sizeof text) == 0) return "";
  return text;
}

TraceLog::TraceLog() : TraceLog(write_to_debugger) {}

TraceLog::TraceLog(DebugWriter debug_writer)
    : debug_writer_(std::move(debug_writer)), sink_(std::cerr.rdbuf()) {
  sink_.setf(std::ios::unitbuf);
}

TraceLog::~TraceLog() { close(); }

void TraceLog::open(const std::string& executable_path) {
  std::lock_guard<std::timed_mutex> lock(mutex_);
  const std::string name = trace_log_file_name(executable_path);
  if (!created_) {
    file_ = std::make_unique<std::ofstream>();
    created_ = true;
    open_file(name);
  }
  if (file_->fail()) {
    char appdata[MAX_PATH + 1] = "";
    const DWORD length = GetEnvironmentVariableA("APPDATA", appdata, sizeof appdata);
    if (length == 0 || length >= sizeof appdata) appdata[0] = '\0';
    open_file(trace_log_fallback_path(appdata, name));
  }
  // Also clears any error state of the sink. Done even when both opens
  // failed: writes then go nowhere.
  sink_.rdbuf(file_->rdbuf());
}

void TraceLog::open_file(const std::string& path) {
  file_->close();
  file_->clear();
  file_->open(path, std::ios::out | std::ios::trunc);
  opened_path_ = file_->fail() ? std::string() : path;
}

void TraceLog::write_header(const std::string& executable_path) {
  std::lock_guard<std::timed_mutex> lock(mutex_);
  sink_ << file_name_part(executable_path) << trace_build_stamp() << std::endl << std::endl;
}

void TraceLog::parse_options(std::vector<std::string>* parameters) {
  if (parameters == nullptr) return;
  std::lock_guard<std::timed_mutex> lock(mutex_);
  for (std::string& parameter : *parameters) {
    for (char& c : parameter) {
      if (c == '/') c = '-';
    }
    if (parameter == "-d") level_ = 1;
    if (parameter == "-t") level_ = 2;
  }
}

void TraceLog::trace(const std::string& text, int level) {
  std::lock_guard<std::timed_mutex> lock(mutex_);
  if (level_ < level || text.empty()) return;
  if (text[0] == '<') indent_ -= 2;
  const std::string prefix(indent_ > 0 ? static_cast<std::size_t>(indent_) : 0, ' ');
  debug_writer_(prefix + text + "\n");
  sink_ << prefix << text << std::endl;
  if (text[0] == '>') indent_ += 2;
}

void TraceLog::trace_timed(const std::string& text, int level) {
  trace(local_time_text() + " " + text, level);
}

void TraceLog::close() {
  std::lock_guard<std::timed_mutex> lock(mutex_);
  if (!created_) return;
  // Detach the sink first: nothing may write into the closed file.
  sink_.rdbuf(nullptr);
  file_.reset();
  created_ = false;
  opened_path_.clear();
}

bool TraceLog::try_write_line(const char* text, unsigned long wait_milliseconds) {
  std::unique_lock<std::timed_mutex> lock(mutex_, std::chrono::milliseconds(wait_milliseconds));
  if (!lock.owns_lock() || opened_path_.empty()) return false;
  sink_ << text << std::endl;
  return true;
}

bool TraceLog::try_copy_folder(char* folder, std::size_t size, unsigned long wait_milliseconds) const {
  std::unique_lock<std::timed_mutex> lock(mutex_, std::chrono::milliseconds(wait_milliseconds));
  if (!lock.owns_lock() || opened_path_.empty()) return false;
  const std::size_t end = opened_path_.find_last_of(kDelimiters);
  if (end == std::string::npos || end + 1 > size) return false;
  opened_path_.copy(folder, end);
  folder[end] = '\0';
  return true;
}

int TraceLog::level() const {
  std::lock_guard<std::timed_mutex> lock(mutex_);
  return level_;
}

int TraceLog::indent() const {
  std::lock_guard<std::timed_mutex> lock(mutex_);
  return indent_;
}

void open_trace_log(const std::string& executable_path) { process_trace_log().open(executable_path); }
void write_trace_header(const std::string& executable_path) {
  process_trace_log().write_header(executable_path);
}
void parse_trace_options(std::vector<std::string>* parameters) {
  process_trace_log().parse_options(parameters);
}
void trace(const std::string& text, int level) { process_trace_log().trace(text, level); }
void trace_timed(const std::string& text, int level) { process_trace_log().trace_timed(text, level); }
void close_trace_log() { process_trace_log().close(); }
bool trace_crash_line(const char* text, unsigned long wait_milliseconds) {
  return process_trace_log().try_write_line(text, wait_milliseconds);
}
bool trace_log_folder(char* folder, std::size_t size, unsigned long wait_milliseconds) {
  return process_trace_log().try_copy_folder(folder, size, wait_milliseconds);
}
