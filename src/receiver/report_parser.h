// ProcessCommData: turns the chunks the receiver link delivers into tag
// reports ("<4-character id><0-3 digits><space>"), resynchronises on
// garbage, updates each tag's device (strength, time of the last report),
// records the reading, and feeds the data monitor. It never decides
// presence; the off timer does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "receiver/monitor_line.h"

namespace tagvane {

class App;
class DataMonitor;

// True for four characters that can stand as a tag identifier. The
// identifier becomes part of a device code, an INI key and the Properties
// text, so a control character, a space or one of = [ ] ; ~ " marks line
// noise, which the parser resynchronises over like any other garbage.
bool IsTagIdentifier(std::string_view id);

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
  uint64_t BytesReceived() const { return bytes_; }
  uint64_t BytesDiscarded() const { return discarded_; }

 private:
  void ConsumeReports();
  void HandleReport(size_t space_at);
  void Discard(size_t count);
  // The device of a report's tag: from the cache when nothing that could
  // change the answer of AddRFIDUnit moved, else through AddRFIDUnit.
  class RFIDDevice* DeviceFor(std::string_view tag_id);
  void LogFailure(const std::exception* e);

  App& app_;
  DataMonitor& monitor_;
  MonitorLineBuilder line_;
  // Characters of ReceiveBuffer already consumed by the running loop.
  size_t consumed_ = 0;
  uint64_t reports_ = 0;
  uint64_t bytes_ = 0;
  uint64_t discarded_ = 0;
  // The time of the chunk being consumed (one reading per chunk: a chunk is
  // handled within a fraction of a millisecond).
  DateTime chunk_time_{};
  float chunk_seconds_ = 0;
  // Tag identifier -> device, valid while the device table's size, the tag
  // counter and the receiver code stay as they were when it was filled.
  std::unordered_map<uint32_t, std::shared_ptr<class RFIDDevice>> cache_;
  size_t cache_devices_ = SIZE_MAX;
  uint64_t cache_changes_ = UINT64_MAX;
  std::string cache_receiver_;
  // The most recent tags, in front of cache_ (direct-mapped).
  struct RecentSlot {
    uint32_t key = 0;
    class RFIDDevice* device = nullptr;
  };
  static constexpr size_t kRecentSlots = 256;
  std::array<RecentSlot, kRecentSlots> recent_{};
  std::string code_;
  // A report of the chunk had the tag identifier of the monitor's filter.
  bool filter_hit_ = false;
};

}  // namespace tagvane
