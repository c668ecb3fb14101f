// The setup page (/setup): the first sixteen settings of section "RFID",
// each box showing the value in force, and the one button "Close" that runs
// the close sequence: close the receiver link when its port or address
// changed, save the sixteen keys, flush, read every setting again into the
// running daemon, and open the link on the port that was saved.
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

using SetupBoxes = std::array<std::string, kSetupBoxes>;
// A posted form: a box the form did not carry is nullopt.
using PostedBoxes = std::array<std::optional<std::string>, kSetupBoxes>;

class SetupPage {
 public:
  // reread: reads every setting again into the running daemon (the same
  // step as SIGHUP's).
  SetupPage(App& app, std::function<void()> reread) : app_(app), reread_(std::move(reread)) {}

  // Box i: the value in force of SettingsKeyList[i], in the file's own
  // spelling when the file holds it; SettingsDefaults[i] only for a key
  // that has no setting in force (httpport without a key).
  SetupBoxes LoadBoxes();
  // The close sequence. A box missing from the form keeps the value it
  // would have shown, so no other value is lost; only these sixteen keys
  // are written.
  void Close(const PostedBoxes& posted);
  // The boxes of a posted form (fields aIni0 ... aIni15).
  static PostedBoxes FromForm(const Request& request);

  // token_field: the hidden page-token field of the form.
  std::string Body(const SetupBoxes& boxes, bool saved, std::string_view token_field) const;

 private:
  App& app_;
  std::function<void()> reread_;
};

}  // namespace tagvane
