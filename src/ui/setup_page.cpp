#include "ui/setup_page.h"

#include "core/app.h"
#include "core/failure.h"
#include "core/fast_string.h"
#include "core/settings.h"
#include "web/html_escape.h"
#include "web/request.h"

namespace tagvane {

const std::array<std::string_view, kSetupBoxes> kSetupLabels = {
    "RFID Comm Port",       "Comm IP",          "HTTP Server Port",  "Debug",
    "Background Color",     "Style Sheet",      "xAP UID",           "Show Setup",
    "Show Only Used",       "Show Received",    "Show Received Detail",
    "Periodic Script Interval", "Hide Removed", "Receiver Location", "Hide Tag Parameters",
    "Figure of Merit Delta"};

SetupBoxes SetupPage::LoadBoxes() {
  SetupBoxes boxes;
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    Guard(app_.Log(), "SetupForm Load", [&] {
      boxes[i] = app_.Ini().GetIniSetting("RFID", SettingsKeyList[i], SettingsDefaults[i],
                                          kSettingsFile);
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
  const std::string old_port = app_.GetSettings().RFIDPort;
  const bool port_changed = boxes[0] != old_port;
  step([&] {
    if (!port_changed) return;
    link_.CloseCommPort(old_port);
    app_.State().SerialPortOpen = link_.OpenCommPort(boxes[0]);
  });
  for (size_t i = 0; i < kSetupBoxes; ++i) {
    step([&] { app_.Ini().SaveIniSetting("RFID", SettingsKeyList[i], boxes[i], kSettingsFile); });
  }
  step([&] { app_.Ini().FlushIniCache(); });
  app_.InitIniKeys();
  // A new port that did not open is retried in the background like any
  // lost link, instead of leaving the receiver off until a restart.
  step([&] {
    if (port_changed && !app_.State().SerialPortOpen) app_.Receiver().InitRFID();
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

std::string SetupPage::Body(const SetupBoxes& boxes, bool saved) const {
  FastString out(8192);
  out.Add("<div class=\"tvpage tvsetup\"><h2 class=\"tvcaption\">RFID Setup</h2>");
  if (saved) out.Add("<p class=\"tvnote\" id=\"tvSaved\">Saved and read again.</p>");
  out.Add("<form method=\"post\" action=\"/setup\"><table class=\"tvform\">");
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
