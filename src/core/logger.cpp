#include "core/logger.h"

#include <cstdio>
#include <iostream>

#include "core/dates.h"
#include "core/numbers.h"

namespace tagvane {

Logger::Logger(const Clock& clock, const bool& debug_log) : clock_(clock), debug_log_(debug_log) {}

void Logger::WriteTrace(std::string_view source, std::string_view text, const Failure* failure) {
  try {
    const DateTime now = clock_.Now();
    std::string line = FormatGeneralDate(now);
    line += ' ';
    line += SingleText(SecondsSinceMidnight(now));
    line += " | ";
    line += source;
    line += ' ';
    line += text;
    line += ' ';
    line += ErrorPart(failure);
    line += "\r\n";
    if (trace_path_.empty()) return;
    if (std::FILE* f = std::fopen(trace_path_.c_str(), "ab")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
    }
  } catch (...) {
    // The trace writer never reports its own failures.
  }
}

void Logger::LogEvent(std::string_view source, std::string_view text, const Failure* failure,
                      std::string_view extra_items) {
  const std::string error_part = ErrorPart(failure);
  ++entries_;
  Remember(source, std::string(text) + error_part);
  if (source != kDebugSource && !listeners_.Empty()) {
    const LogEntry entry = recent_.back();  // a listener may log in turn
    listeners_(entry);
  }
  if (echo_) {
    const int priority = source == kDebugSource ? 7 : failure ? 3 : source == "Unauthorized" ? 4 : 6;
    Echo(source, std::string(text) + error_part, priority);
  }
  if (source == kDebugSource) {
    WriteTrace(source, text);
    return;
  }
  if (debug_log_) WriteTrace(source, text);
  if (!sender_) return;
  std::string body;
  body.reserve(64 + text.size() + error_part.size());
  body += "Time\x01";
  body += FormatGeneralDate(clock_.Now());
  body += '\0';
  body += "Type\x01";
  body += source;
  body += '\0';
  body += "Data\x01";
  body += text;
  body += error_part;
  body += extra_items;
  sender_->SendXap("", "Homeseer.Event", "Event.Log", body, "", "", "");
}

void Logger::Echo(std::string_view source, std::string_view text, int priority) {
  if (!echo_) return;
  // One write a line: whole lines for the journal, and one system call
  // instead of four when thousands of entries come at once.
  std::string line;
  line.reserve(source.size() + text.size() + 8);
  if (echo_priorities_) line += '<' + std::to_string(priority) + '>';
  line.append(source).append(": ").append(text) += '\n';
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

void Logger::LogEventLimited(std::string_view key, std::string_view source,
                             std::string_view text, Milliseconds interval) {
  const DateTime now = clock_.Now();
  auto [it, fresh] = limits_.try_emplace(std::string(key));
  Limit& limit = it->second;
  if (!fresh && now - limit.last < interval) {
    ++limit.suppressed;
    return;
  }
  std::string message(text);
  if (limit.suppressed) {
    message += " (" + std::to_string(limit.suppressed) + " more since the last report)";
  }
  limit.last = now;
  limit.suppressed = 0;
  LogEvent(source, message);
}

void Logger::Remember(std::string_view source, std::string_view text) {
  recent_.push_back(LogEntry{clock_.Now(), std::string(source), std::string(text)});
  if (recent_.size() > kRecentLimit) recent_.pop_front();
}

}  // namespace tagvane
