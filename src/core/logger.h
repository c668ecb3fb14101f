// The two log writers every part uses. WriteTrace appends one line to the
// trace file Data/Tagvane.txt; LogEvent publishes an entry on the network as a
// Homeseer.Event message (through SendXap, which queues until xAP is bound)
// and copies it to the trace file when debug logging is on. Entries whose
// source is "Tagvane Debug" go to the trace file only.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/clock.h"
#include "core/failure.h"
#include "core/hooks.h"

namespace tagvane {

inline constexpr std::string_view kProductName = "Tagvane";
inline constexpr std::string_view kProductSource = "Tagvane";
inline constexpr std::string_view kDebugSource = "Tagvane Debug";

// The sending entry the event log hands its messages to (arguments as the
// module procedure SendXap takes them).
class XapSender {
 public:
  virtual ~XapSender() = default;
  virtual void SendXap(std::string_view target, std::string_view cls, std::string_view section,
                       std::string_view data, std::string_view subaddress, std::string_view uid,
                       std::string_view target_subaddress) = 0;
};

struct LogEntry {
  DateTime time;
  std::string source;
  std::string text;
};

class Logger {
 public:
  // debug_log points at the DebugLog setting; sender may be set later.
  Logger(const Clock& clock, const bool& debug_log);

  void SetTracePath(std::filesystem::path path) { trace_path_ = std::move(path); }
  const std::filesystem::path& TracePath() const { return trace_path_; }
  void SetSender(XapSender* sender) { sender_ = sender; }
  // When on, every entry is also written as one line on standard error.
  void SetEcho(bool echo) { echo_ = echo; }
  // Under the systemd journal each echoed line starts with its syslog
  // priority ("<3>" failures, "<4>" refused access, "<6>" the rest, "<7>"
  // debug entries), so the journal files it at the right level.
  void SetEchoPriorities(bool on) { echo_priorities_ = on; }
  // One line on standard error (when echo is on) that is not an event-log
  // entry: the terminal's note of a tag turning On or Off.
  void Echo(std::string_view source, std::string_view text, int priority = 6);

  // Appends "<date> <secs> | <source> <text> <error part>" + CR LF.
  // Never fails: a file that cannot be written loses the line.
  void WriteTrace(std::string_view source, std::string_view text,
                  const Failure* failure = nullptr);
  // extra_items are more body items for the network message, each as
  // "\0" + name + "\1" + value (the trace file and the terminal get the text).
  void LogEvent(std::string_view source, std::string_view text,
                const Failure* failure = nullptr, std::string_view extra_items = {});
  // LogEvent at most once per interval for the same key; counts what it
  // holds back and reports the count with the next entry that goes out.
  void LogEventLimited(std::string_view key, std::string_view source, std::string_view text,
                       Milliseconds interval = std::chrono::minutes(1));

  // The most recent entries (newest last), kept for the web monitor.
  const std::deque<LogEntry>& Recent() const { return recent_; }
  static constexpr size_t kRecentLimit = 200;
  // LogEvent entries written since start.
  uint64_t EntryCount() const { return entries_; }
  // Called with every event-log entry (not the debug entries, which go to
  // the trace only), its text with the error part, after it was written;
  // the scripts' WriteLog announces its entries here too.
  Listeners<const LogEntry&>& EntryListeners() { return listeners_; }

 private:
  void Remember(std::string_view source, std::string_view text);

  const Clock& clock_;
  const bool& debug_log_;
  XapSender* sender_ = nullptr;
  std::filesystem::path trace_path_;
  bool echo_ = false;
  bool echo_priorities_ = false;
  std::deque<LogEntry> recent_;
  uint64_t entries_ = 0;
  struct Limit {
    DateTime last;
    uint64_t suppressed = 0;
  };
  std::unordered_map<std::string, Limit> limits_;
  Listeners<const LogEntry&> listeners_;
};

}  // namespace tagvane
