// Calls that cross from one subsystem into another at run time (the presence
// logic publishing a BSC message, the parser recording a reading, incoming
// xAP messages reaching the script capture...). Each subsystem fills its own
// entries when it is installed; until then they do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tagvane {

class XapMessage;

// A hook several subsystems listen to: each adds its own function and removes
// it again by the number Add gave; a call reaches every listener in the order
// they were added.
template <typename... Args>
class Listeners {
 public:
  using Function = std::function<void(Args...)>;
  int Add(Function f) {
    list_.emplace_back(++last_id_, std::move(f));
    return last_id_;
  }
  void Remove(int id) {
    std::erase_if(list_, [id](const auto& entry) { return entry.first == id; });
  }
  void operator()(Args... args) const {
    // A listener may add or remove listeners: call a copy of the list.
    const auto list = list_;
    for (const auto& entry : list) entry.second(args...);
  }
  bool Empty() const { return list_.empty(); }

 private:
  std::vector<std::pair<int, Function>> list_;
  int last_id_ = 0;
};

struct Hooks {
  // BSC event or info message for one device (device code, message class).
  std::function<void(const std::string&, const std::string&)> SendXapBSC =
      [](const std::string&, const std::string&) {};
  // Queues a run of the main script with a tag name, record name or "".
  std::function<void(const std::string&)> QueueScript = [](const std::string&) {};
  // Answers a BSC query for the tags (target address, ">:>" for all).
  std::function<void(const std::string&)> BSCQuery = [](const std::string&) {};
  // Resets the script engine so it loads the scripts again.
  std::function<void()> InitScriptControl = [] {};
  // Blinks the activity indicator after receiver data was processed.
  std::function<void()> SwapIcons = [] {};
  // Stores one reading in the reading database (tag identifier, strength).
  std::function<void(const std::string&, int16_t)> RecordReading =
      [](const std::string&, int16_t) {};
  // Asks the reading database to bring its tables up to date (a new device).
  std::function<void()> UpdateReadingTables = [] {};
  // Lets the script capture look at a received message before dispatch.
  std::function<void(XapMessage&)> CaptureMessage = [](XapMessage&) {};
  // A presence decision was announced for a device in use (device code),
  // after its status, figure and last change were updated.
  // Every subsystem that follows the tags' states (MQTT, the reading
  // database's turns, the API's event stream) adds itself here.
  Listeners<const std::string&> DeviceDecision;
};

}  // namespace tagvane
