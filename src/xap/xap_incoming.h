// What the system does with each received xAP message: onMessage drains the
// transport's queue (guarded against re-entry), Readmessage parses a message,
// lets the script capture see it, and acts on BSC queries, other receivers'
// BSC reports (merged into remote, local and combined devices by
// TagwellReceived), watchdog echoes, the time service and role queries.
#pragma once

#include <functional>
#include <string>
#include <string_view>

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
  // Merges one BSC report of another receiver. from_self: the report is one
  // of this system's own messages delivered back by the hub; it updates the
  // devices as any other but sends nothing in answer, so it cannot loop.
  void TagwellReceived(std::string_view source, std::string_view state, std::string_view value,
                       bool from_self = false);

  const std::string& SunriseText() const { return sunrise_; }
  const std::string& SunsetText() const { return sunset_; }
  uint64_t IgnoredReports() const { return ignored_reports_; }

 private:
  void Dispatch(class XapMessage& message);

  App& app_;
  XapTransport& transport_;
  BscOutput& bsc_;
  std::string sunrise_;
  std::string sunset_;
  uint64_t ignored_reports_ = 0;
};

// The device code of a BSC report's source address
// ("source:location.code.type"): the 16 characters after the first "." of
// the sub-address, and the location before it. False, leaving the outputs
// alone, when the source has no such part or the code holds characters no
// device code can hold.
bool SplitReportSource(std::string_view source, std::string& location, std::string& code);

}  // namespace tagvane
