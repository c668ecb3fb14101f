// The BSC messages of the tag devices: the event or info message sent when a
// device changes (SendXapBSC), and the info messages answering a BSC query
// (BSCQuery), sent one at a time 200 ms apart by the BSC timer. Each device
// in use is one BSC input endpoint: source XapSource:location.code.type.
#pragma once

#include <string>
#include <string_view>

#include "core/shared_tables.h"
#include "core/timer.h"

namespace tagvane {

class App;

class BscOutput {
 public:
  explicit BscOutput(App& app);
  BscOutput(const BscOutput&) = delete;
  BscOutput& operator=(const BscOutput&) = delete;

  // Sends one message of class cls for the device under code at once; only
  // a device with a two-character uID sends.
  void SendXapBSC(const std::string& code, const std::string& cls);
  // Answers a query for target ("source:location.code.type", "*" per
  // element, ">" for the rest) from every matching device in use that has
  // a uID. Targets without ":" get no answer.
  void BSCQuery(std::string_view target);
  // The BSC timer's tick: sends the oldest queued answer or stops.
  void BSCTimer_Timer();
  Timer& BSCTimer() { return bsc_timer_; }

  // The encoded query-answer body (state, DisplayText, Text).
  std::string IncludeContent(const RFIDDevice& device);
  // The device's location as a sub-address element: blanks as "_",
  // "Unknown" when empty.
  std::string xapName(const RFIDDevice& device);
  // The setting UID without its last two characters, then the device's uID.
  std::string DeviceUID(const RFIDDevice& device) const;

 private:
  std::string Body(const RFIDDevice& device, std::string_view state_key);
  void Send(const xapQueuedMessage& m);

  App& app_;
  Timer bsc_timer_;
};

}  // namespace tagvane
