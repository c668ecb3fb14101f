// ProcessCommData: turns the chunks the receiver link delivers into tag
// reports ("<4-character id><0-3 digits><space>"), resynchronises on
// garbage, updates each tag's device (strength, time of the last report),
// records the reading, and feeds the data monitor. It never decides
// presence; the off timer does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

class App;
class DataMonitor;

// MonitorLine while a chunk is consumed. Each report's line wraps the
// previous one ("(<elapsed>)\t" + previous + "\t<fields>"), so it is kept
// as prefixes, the core and suffixes and joined once per chunk: a chunk of n
// reports costs O(n), not O(n^2).
class MonitorLineBuilder {
 public:
  void Reset(std::string_view core);
  // Wraps the current line in prefix ... suffix.
  void Wrap(std::string_view prefix, std::string_view suffix);
  void Append(std::string_view suffix) { suffixes_ += suffix; }
  std::string Build() const;

 private:
  std::string core_;
  std::string prefixes_;
  std::vector<size_t> prefix_ends_;
  std::string suffixes_;
};

class ReportParser {
 public:
  // Text without a space longer than this is cut to its last 7 characters
  // (the only ones that can still begin a report), with the usual discard
  // notes, so a stream without spaces cannot grow the buffer for ever.
  static constexpr size_t kPendingLimit = 4096;

  ReportParser(App& app, DataMonitor& monitor);

  // data: one received chunk, one char per byte; event_code: 2 for data (the
  // serial line's other codes are only logged).
  void ProcessCommData(std::string_view data, int event_code);

  uint64_t ReportsProcessed() const { return reports_; }

 private:
  void ConsumeReports();
  void HandleReport(size_t space_at);
  void Discard(size_t count);
  void LogFailure(const std::exception* e);

  App& app_;
  DataMonitor& monitor_;
  MonitorLineBuilder line_;
  // Characters of ReceiveBuffer already consumed by the running loop.
  size_t consumed_ = 0;
  uint64_t reports_ = 0;
  std::string scratch_prefix_;
  std::string scratch_suffix_;
  std::string code_;
};

}  // namespace tagvane
