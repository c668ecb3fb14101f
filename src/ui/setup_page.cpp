#include "ui/setup_page.h"

#include "core/app.h"
#include "core/failure.h"
#include "core/fast_string.h"
#include "core/settings.h"
#include "core/text.h"
#include "web/html_escape.h"
#include "web/request.h"

namespace tagvane {

const std::array<std::string_view, kSetupBoxes> kSetupLabels = {
    "RFID Comm Port",       "Comm IP",          "HTTP Server Port",  "Debug",
    "Background Color",     "Style Sheet",      "xAP UID",           "Show Setup",
    "Show Only Used",       "Show Received",    "Show Received Detail",
    "Periodic Script Interval", "Hide Removed", "Receiver Location", "Hide Tag Parameters",
    "Figure of Merit Delta"};

namespace {

// A default no INI value can hold, to tell a missing key from an empty one.
constexpr std::string_view kMissing = "\x01missing\x01";

}  // namespace

SetupBoxes SetupPage::LoadBoxes() {
  SetupBoxes boxes;
  const Settings& now = app_.GetSettings();
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    Guard(app_.Log(), "SetupForm Load", [&] {
      const std::string_view key = SettingsKeyList[i];
      const std::string file = app_.Ini().GetIniSetting("RFID", key, kMissing, kSettingsFile);
      const std::optional<std::string> in_force = SettingText(now, key);
      if (!in_force) {
        boxes[i] = file == kMissing ? std::string(SettingsDefaults[i]) : file;
        return;
      }
      // The file's own spelling ("True", a quoted text) when it says what
      // is in force; otherwise what is in force (a missing key's default,
      // 200 for a delta that is no number, a value changed on disk since).
      const bool same = file != kMissing && EqualsNoCase(RemoveQuotes(file), *in_force);
      boxes[i] = same ? file : *in_force;
    });
  }
  return boxes;
}

void SetupPage::Close(const PostedBoxes& posted) {
  SetupBoxes boxes = LoadBoxes();
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    if (posted[i]) boxes[i] = *posted[i];
  }
  auto step = [&](auto&& fn) { Guard(app_.Log(), "SetupForm Unload", fn); };
  const Settings& settings = app_.GetSettings();
  const bool link_changed = RemoveQuotes(boxes[0]) != settings.RFIDPort ||
                            RemoveQuotes(boxes[1]) != settings.SerialIP;
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    step([&] { app_.Ini().SaveIniSetting("RFID", SettingsKeyList[i], boxes[i], kSettingsFile); });
  }
  step([&] { app_.Ini().FlushIniCache(); });
  step([&] { reread_(); });
  // The link goes to the port that was saved, at once and without waiting;
  // one that does not answer is retried like any lost link.
  step([&] {
    if (link_changed) app_.Receiver().ReopenCommPort();
  });
}

PostedBoxes SetupPage::FromForm(const Request& request) {
  PostedBoxes posted;
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    const std::string name = "aIni" + std::to_string(i);
    if (request.FormCol().Contains(name)) posted[i] = request.Form(name);
  }
  return posted;
}

std::string SetupPage::Body(const SetupBoxes& boxes, bool saved,
                            std::string_view token_field) const {
  FastString out(8192);
  out.Add("<div class=\"tvpage tvsetup\"><h2 class=\"tvcaption\">RFID Setup</h2>");
  if (saved) out.Add("<p class=\"tvnote\" id=\"tvSaved\">Saved and read again.</p>");
  const Settings& settings = app_.GetSettings();
  if (ReceiverPortConfigured(settings.RFIDPort) && !app_.State().SerialPortOpen) {
    out.Add("<p class=\"tvnote\" id=\"tvLinkNote\">The receiver on port ")
        .Add(EscapeHtml(settings.RFIDPort))
        .Add(" is not answering (yet); Tagvane keeps trying every 2 seconds.</p>");
  }
  out.Add("<form method=\"post\" action=\"/setup\">").Add(token_field).Add("<table class=\"tvform\">");
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    const std::string name = "aIni" + std::to_string(i);
    out.Add("<tr><td><label for=\"")
        .Add(name)
        .Add("\">")
        .Add(kSetupLabels[i])
        .Add("</label></td><td><input type=\"text\" id=\"")
        .Add(name)
        .Add("\" name=\"")
        .Add(name)
        .Add("\" value=\"")
        .Add(EscapeHtml(boxes[i]))
        .Add("\">");
    if (i == 11) out.Add(" seconds");
    out.Add("</td></tr>");
  }
  out.Add("</table><input type=\"submit\" name=\"Close\" value=\"Close\"></form>")
      .Add("<p class=\"tvnote\">Close saves every box and applies the settings at once. "
           "There is no cancel: to change nothing, leave this page without pressing "
           "Close.</p></div>");
  return out.Take();
}

}  // namespace tagvane
