// The setup page (/setup): the first sixteen settings of section "RFID",
// each box filled from the INI store with its offered default, and the one
// button "Close" that runs the close sequence: reconnect the receiver when
// the port changed (before anything is saved), save the sixteen keys,
// flush, and read every setting again into the running daemon.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tagvane {

class App;
class Request;

inline constexpr size_t kSetupBoxes = 16;

// The labels of boxes 0-15 (keys: entries 0-15 of SettingsKeyList).
extern const std::array<std::string_view, kSetupBoxes> kSetupLabels;

// The receiver link's own close and open, as the close sequence uses them.
struct LinkControl {
  std::function<void(const std::string&)> CloseCommPort = [](const std::string&) {};
  std::function<bool(const std::string&)> OpenCommPort = [](const std::string&) { return false; };
};

using SetupBoxes = std::array<std::string, kSetupBoxes>;
// A posted form: a box the form did not carry is nullopt.
using PostedBoxes = std::array<std::optional<std::string>, kSetupBoxes>;

class SetupPage {
 public:
  SetupPage(App& app, LinkControl link) : app_(app), link_(std::move(link)) {}

  // Box i: GetIniSetting("RFID", SettingsKeyList[i], SettingsDefaults[i]).
  SetupBoxes LoadBoxes();
  // The close sequence. A box missing from the form keeps the value it
  // would have shown, so no other value is lost; only these sixteen keys
  // are written.
  void Close(const PostedBoxes& posted);
  // The boxes of a posted form (fields aIni0 ... aIni15).
  static PostedBoxes FromForm(const Request& request);

  std::string Body(const SetupBoxes& boxes, bool saved) const;

 private:
  App& app_;
  LinkControl link_;
};

}  // namespace tagvane
