#include "tests/display/trace_capture.h"

#include <windows.h>

#include <algorithm>
#include <regex>

#include "trace/trace_log.h"

namespace {

const DWORD kDebugPrintException = 0x40010006;  // raised by OutputDebugStringA
const char kProbe[] = "xv-trace-capture-probe";

TraceCapture* active = nullptr;

void set_trace_level(int level) {
  std::vector<std::string> options{level == 1 ? "-d" : "-t"};
  parse_trace_options(&options);
}

LONG CALLBACK take_debug_output(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (record->ExceptionCode != kDebugPrintException || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (active != nullptr) {
    std::string raw(reinterpret_cast<const char*>(record->ExceptionInformation[1]),
                    static_cast<std::size_t>(record->ExceptionInformation[0]));
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    active->take(raw);
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The process log, written at level 2 into a file of its own.
struct ProcessLog {
  std::string path;
  ProcessLog() {
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    const std::string name = std::string(folder) + "xvdisplay_test_" + std::to_string(GetCurrentProcessId());
    path = name + ".txt";
    open_trace_log(name + ".exe");
    set_trace_level(2);
  }
  ~ProcessLog() {
    close_trace_log();
    DeleteFileA(path.c_str());
  }
};

}  // namespace

TraceCapture::TraceCapture(int level) : level_(level), previous_(active) {
  static ProcessLog process_log;
  set_trace_level(level);
  active = this;
  handler_ = AddVectoredExceptionHandler(1, take_debug_output);
  // The probe's indentation is the log's current indentation.
  trace(kProbe, 1);
}

TraceCapture::~TraceCapture() {
  RemoveVectoredExceptionHandler(handler_);
  active = previous_;
  set_trace_level(previous_ != nullptr ? previous_->level_ : 2);
}

void TraceCapture::take(const std::string& raw) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  const std::size_t blanks = line.find_first_not_of(' ');
  if (indent_ < 0) {
    if (line.size() > blanks && line.compare(blanks, std::string::npos, kProbe) == 0) {
      indent_ = static_cast<int>(blanks);
    }
    return;
  }
  // The log's own rule: an exit line moves back before it is written, an
  // entry line moves on after.
  if (blanks != std::string::npos && line[blanks] == '<') indent_ -= 2;
  const std::size_t prefix = static_cast<std::size_t>(std::max(indent_, 0));
  const std::string text = line.size() >= prefix ? line.substr(prefix) : line;
  texts_.push_back(text);
  if (!text.empty() && text[0] == '>') indent_ += 2;
}

std::vector<std::string> TraceCapture::lines() const {
  static const std::regex time_prefix(R"(^\d{1,2}:\d{2}:\d{2}( ?[AaPp][Mm])? )");
  std::vector<std::string> lines;
  for (const std::string& text : texts_) {
    std::smatch match;
    if (std::regex_search(text, match, time_prefix))
      lines.push_back("@ " + text.substr(static_cast<std::size_t>(match.length(0))));
    else
      lines.push_back(text);
  }
  return lines;
}

std::vector<std::string> TraceCapture::messages() const {
  std::vector<std::string> result;
  for (const std::string& text : texts_) {
    if (text.compare(0, 3, ">> ") != 0 && text.compare(0, 3, "<< ") != 0) result.push_back(text);
  }
  return result;
}

bool TraceCapture::has(const std::string& text) const { return index_of(text) >= 0; }

int TraceCapture::index_of(const std::string& text) const {
  const auto found = std::find(texts_.begin(), texts_.end(), text);
  return found == texts_.end() ? -1 : static_cast<int>(found - texts_.begin());
}

int TraceCapture::count_starting_with(const std::string& prefix) const {
  return static_cast<int>(std::count_if(texts_.begin(), texts_.end(), [&](const std::string& text) {
    return text.compare(0, prefix.size(), prefix) == 0;
  }));
}

TraceViews trace_views(const std::function<void(int level)>& run_case, const std::function<void()>& reset) {
  TraceViews views;
  {
    const TraceCapture capture(1);
    run_case(1);
    views.level_one = capture.lines();
  }
  if (reset) reset();
  const TraceCapture capture(2);
  run_case(2);
  views.level_two = capture.lines();
  return views;
}

std::vector<std::string> without_entry_and_exit(const std::vector<std::string>& lines) {
  std::vector<std::string> result;
  for (const std::string& line : lines) {
    if (line.compare(0, 3, ">> ") != 0 && line.compare(0, 3, "<< ") != 0) result.push_back(line);
  }
  return result;
}
