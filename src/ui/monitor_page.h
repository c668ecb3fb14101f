// The data monitor page (/monitor) and its polling answer (/monitor/data):
// the receiver's raw traffic as the parser writes it into the DataMonitor,
// the link status, and the shared "Show Only Tag" filter and Freeze box.
// The page asks about twice a second for the text added since the sequence
// number it holds, so only new text travels and no connection stays open.
#pragma once

#include <string>
#include <string_view>

#include "core/clock.h"
#include "receiver/data_monitor.h"

namespace tagvane {

class ActivityIndicator;
class App;
class Request;

class MonitorPage {
 public:
  // A monitor page counts as open while it polled within this time.
  static constexpr int kOpenSeconds = 5;
  // The longest filter text kept.
  static constexpr size_t kFilterLimit = 256;

  MonitorPage(App& app, const ActivityIndicator& indicator);

  // The receiver's monitor, or a standing empty one when there is none.
  DataMonitor& Monitor();
  // "RFID Data Monitor Window for Receiver " + location.
  std::string Caption() const;
  // The page content below the header; token_field: the hidden page-token
  // field of its form, which the script sends with every change.
  std::string Body(std::string_view token_field = "");
  // The JSON answer for a poll; since is the sequence number the page
  // holds ("" or a number it cannot continue from: the whole text).
  std::string DataJson(std::string_view since);
  // Applies a posted filter and Freeze box (form field "monitorform").
  void Apply(const Request& request);

  // The monitor-open flag: a page polled within kOpenSeconds.
  bool MonitorOpen() const;
  void Close() { polled_ = false; }

 private:
  App& app_;
  const ActivityIndicator& indicator_;
  DataMonitor standby_;
  DateTime last_poll_{};
  bool polled_ = false;
};

}  // namespace tagvane
