// What the system does with each received xAP message: onMessage drains the
// transport's queue (guarded against re-entry), Readmessage parses a message,
// lets the script capture see it, and acts on BSC queries, other receivers'
// BSC reports (merged into remote, local and combined devices by
// TagwellReceived), watchdog echoes, the time service and role queries.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace tagvane {

class App;
class BscOutput;
class XapTransport;

class XapIncoming {
 public:
  XapIncoming(App& app, XapTransport& transport, BscOutput& bsc);

  // The transport's message receiver: handles every waiting message.
  void onMessage();
  // Handles one received message text.
  void Readmessage(std::string_view raw);
  // Merges one BSC report of another receiver. A report of this system's
  // own (the hub delivers every message back to its sender too) is not
  // another receiver's and is ignored.
  void TagwellReceived(std::string_view source, std::string_view state, std::string_view value);

  const std::string& SunriseText() const { return sunrise_; }
  const std::string& SunsetText() const { return sunset_; }
  uint64_t IgnoredReports() const { return ignored_reports_; }
  // Messages dropped for holding more sections or items than allowed.
  uint64_t DroppedLargeMessages() const { return dropped_large_; }

 private:
  void Dispatch(class XapMessage& message);

  App& app_;
  XapTransport& transport_;
  BscOutput& bsc_;
  std::string sunrise_;
  std::string sunset_;
  uint64_t ignored_reports_ = 0;
  uint64_t dropped_large_ = 0;
  uint64_t parse_traces_ = 0;
  uint64_t held_parse_traces_ = 0;
  DateTime last_parse_trace_{};
};

// The device code of a BSC report's source address
// ("source:location.code.type"): the 16 characters after the first "." of
// the sub-address, and the location before it. False, leaving the outputs
// alone, when the source has no such part or the code holds characters no
// device code can hold.
bool SplitReportSource(std::string_view source, std::string& location, std::string& code);

}  // namespace tagvane
