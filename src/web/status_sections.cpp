// The optional sections of the status page: setup, xAP messages of
// interest, and the refresh buttons.
#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/settings.h"
#include "core/text.h"
#include "scripting/device_class.h"
#include "web/html_escape.h"
#include "web/page_chrome.h"
#include "web/page_forms.h"
#include "web/status_page.h"

namespace tagvane {

void StatusPages::AddSetup(FastString& page) {
  Guard(app_.Log(), "AddSetup", [&] {
    auto value = [&](std::string_view key, std::string_view def) {
      // Some keys are stored in quotes; shown with them, every save would
      // add another pair.
      return EscapeHtml(RemoveQuotes(app_.Ini().GetIniSetting("RFID", key, def, kSettingsFile)));
    };
    auto header = [&](std::string_view title, std::string_view span) {
      page.Add(chrome_.FormatCell(title, "TABLEHEADER", span, "Center"));
    };
    auto field = [&](const std::string& text, std::string_view span) {
      page.Add(chrome_.FormatCell(text, "TABLEROWODD", span, "Center"));
    };
    auto row = [&] { page.Add("</tr><tr>"); };
    // The marker tells a save that this post carries the setup section.
    page.Add(kSetupMarker).Add("<Table width='550' border='5' frame='box'><tr>");
    header("HTTP / Browser", "6");
    row();
    field("HTTP Server Port<br><input type='text' size='4' value='" + value("ServerPort", "8020") +
              "' name='ServerPort'>",
          "2");
    field("Browser Background<br><input type='text' size='8' value='" +
              value("Background", "#204060") + "' name='Background'>",
          "2");
    field("Style Sheet<br><input type='text' size='18' value='" +
              value("StyleSheet", "StyleNoBody.css") + "' name='StyleSheet'>",
          "2");
    row();
    header("Connectivity", "6");
    row();
    field("Serial Comm IP Address<br><input type='text' size='16' value='" + value("SerialIP", "") +
              "' name='SerialIP'>",
          "2");
    field("Serial Comm Port<br><input type='text' size='3' value='" + value("RFIDPort", "") +
              "' name='RFIDPort'>",
          "2");
    const bool ignore =
        IsTrueText(app_.Ini().GetIniSetting("RFID", "ignorestatus", "", kSettingsFile));
    field(std::string("<input type='checkbox' name='ignorestatus' value='0'") +
              (ignore ? " checked" : "") + ">&nbsp;Ignore COM status",
          "2");
    row();
    header("Identification", "6");
    row();
    field("Receiver Location<br><input type='text' size='16' value='" +
              value("ReceiverLocation", "") + "' name='ReceiverLocation'>",
          "3");
    field("xAP UID<br><input type='text' size='8' value='" + value("UID", "FF.0063:00") +
              "' name='xapUID'>",
          "3");
    row();
    header("Timing", "3");
    header("Debug", "3");
    row();
    field(
        "Periodic Script Interval&nbsp;<input type='text' name='periodicscriptinterval' "
        "value='" +
            value("periodicscriptinterval", "") + "' size='5'>&nbsp;seconds",
        "3");
    const bool debug =
        ToLower(app_.Ini().GetIniSetting("RFID", "debuglog", "false", kSettingsFile)) == "true";
    field(std::string("<input type='checkbox' name='debuglog' value='0'") +
              (debug ? " checked" : "") + ">&nbsp;Enable Debug Output",
          "3");
    row();
    header("Status Updates", "6");
    row();
    field("FOM/Strength Delta for Status Update<br><input type='text' name='fomdelta' value='" +
              value("fomdelta", "20") + "' size='5'>",
          "3");
    const bool strength0 =
        LeadingNumber(app_.Ini().GetIniSetting("RFID", "usestrength", "false", kSettingsFile)) == 0;
    const std::string s0 = strength0 ? " checked" : "";
    const std::string s1 = strength0 ? "" : " checked";
    field("<input type='radio' name='usestrength' value='1'" + s1 +
              ">&nbsp;Show Signal Strength&nbsp;&nbsp;<br>" +
              "<input type='radio' name='usestrength' value='0'" + s0 +
              ">&nbsp;Show Figure Of Merit",
          "3");
    row();
    header("User Formatted DisplayText xAP Key", "6");
    row();
    field(
        "<input type='text' name='UserFormat' value='" + value("UserFormat", "") + "' size = '85'>",
        "6");
    row();
    header("Database Setup Options", "6");
    row();
    const double use_sql =
        LeadingNumber(app_.Ini().GetIniSetting("RFID", "UseSQL", "0", kSettingsFile));
    const std::string d2 = use_sql == 2 ? " checked" : "";
    const std::string d1 = use_sql == 1 ? " checked" : "";
    const std::string d0 = use_sql != 1 && use_sql != 2 ? " checked" : "";
    const std::string source =
        EscapeHtml(RemoveQuotes(app_.Ini().GetIniSetting("RFID", "SQLSource", "", kSettingsFile)));
    field("Database Type&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;<input type='radio'" + d0 +
              " name='UseSQL' value='0'>None&nbsp;&nbsp;&nbsp;<input type='radio'" + d1 +
              " name='UseSQL' value='1'>SQLite file&nbsp;&nbsp;&nbsp;<input type='radio'" + d2 +
              " name='UseSQL' value='2'>PostgreSQL server&nbsp;&nbsp;&nbsp;&nbsp;<input "
              "type='text' name='SQLSource' value='" +
              source + "' size = '30' placeholder='host=localhost user=tagvane'>",
          "6");
    row();
    field("MQTT: " + EscapeHtml(app_.Mqtt().StatusLine()), "6");
    page.Add("</tr></table>");
  });
}

void StatusPages::AddFilter(FastString& page) {
  Guard(app_.Log(), "AddFilter", [&] {
    auto header = [&](std::string_view text) {
      page.Add(chrome_.FormatCell(text, "TABLEHEADER", "1", "Center"));
    };
    // The marker tells a save that this post carries the filter section;
    // each row carries the filter it was drawn from.
    page.Add(kFilterMarker)
        .Add("<Table width='550' border='5' frame='box'><tr>")
        .Add(chrome_.FormatCell("xAP Messages of Interest", "TABLEHEADER", "5", "Center"))
        .Add("</tr><tr>");
    header("Status");
    header("Tag");
    header("Ev");
    header("Source Including Subaddress");
    header("Class");
    page.Add("</tr><tr>");
    std::string k = "TABLEROWODD";
    int n = 0;
    const bool detail = app_.GetSettings().ShowReceiveDetail;
    for (const auto& [key, value] : app_.Tables().FilterTable) {
      ++n;
      const size_t semi = value.find(';');
      const std::string t = value.substr(0, semi);
      const std::string e = semi == std::string::npos ? "" : value.substr(semi + 1);
      const size_t tilde = key.find('~');
      const std::string s = key.substr(0, tilde);
      const std::string c = tilde == std::string::npos ? "" : key.substr(tilde + 1);
      const auto* record = app_.Tables().ScriptDeviceTable.Find(t);
      const std::string status =
          record && *record ? FormatChangeTime((*record)->LastChange) : std::string();
      const std::string num = std::to_string(n);
      page.Add(chrome_.FormatCell(status, k, "1", "Center"))
          .Add(chrome_.FormatCell("<input type='hidden' name='FilterKey" + num + "' value='" +
                                      EscapeHtml(key) + "'><input type='text' size='15' value='" +
                                      EscapeHtml(t) + "' name='FilterTag" + num + "'>",
                                  "tablecellmisc", "1", "Left"))
          .Add(chrome_.FormatCell(std::string("<input type='checkbox'") +
                                      (e.empty() ? "" : " checked") +
                                      " value='1' name='FilterEvent" + num + "'>",
                                  k, "1", "Left"))
          .Add(chrome_.FormatCell("<input type='text' size='67' value='" + EscapeHtml(s) +
                                      "' name='Source" + num + "'>",
                                  k, "1", "Right"))
          .Add(chrome_.FormatCell(
              "<input type='text' size='20' value='" + EscapeHtml(c) + "' name='Class" + num + "'>",
              k, "1", "Left"))
          .Add("</tr><tr>");
      if (detail && record && *record) {
        auto keys = (*record)->MessageKeyList.begin();
        for (const auto& [item, text] : (*record)->MessageList) {
          const std::string item_key =
              keys != (*record)->MessageKeyList.end() ? (keys++)->second : item;
          page.Add(chrome_.FormatCell(EscapeHtml(item_key), k, "3", "Right"))
              .Add(chrome_.FormatCell(EscapeHtml(text), k, "3", "Left"))
              .Add("</tr><tr>");
        }
      }
      k = (n - 1) % 2 == 1 ? "TABLEROWODD" : "TABLEROWEVEN";
    }
    page.Add(chrome_.FormatCell("&nbsp;&nbsp;", k, "1", "Center"))
        .Add(chrome_.FormatCell("<input type='text' size='15' value='' name='FilterTag0'>",
                                "tablecellmisc", "1", "Left"))
        .Add(chrome_.FormatCell("<input type='checkbox' value='1' name='FilterEvent0'>", k, "1",
                                "Left"))
        .Add(chrome_.FormatCell("<input type='text' size='67' value='' name='Source0'>", k, "1",
                                "Right"))
        .Add(chrome_.FormatCell("<input type='text' size='20' value='' name='Class0'>", k, "1",
                                "Left"))
        .Add("</tr></table>");
  });
}

void StatusPages::AddScriptButton(FastString& page) {
  Guard(app_.Log(), "AddScriptButton", [&] {
    page.Add("<Table width='550' border='5' frame='box'><tr>")
        .Add(chrome_.FormatCell("Refresh", "TABLEHEADER", "2", "Center"))
        .Add("</tr><tr>")
        .Add(chrome_.FormatCell(
            "<form name='no redraw' method='post' target='hiddenframe'><input type='submit' "
            "name='script' value='Read Script Tagvane.txt'><input type='hidden' "
            "name='clientinput' value='yes'>" +
                forms_.HiddenField(PageForm::kStatus) + "</form>",
            "TABLEROWEVEN", "1", "Center"))
        .Add(chrome_.FormatCell(
            "<form name='redraw' method='post'><input type='submit' name='query' value='BSC "
            "Query of Receiver'><input type='hidden' name='clientinput' value='yes'>" +
                forms_.HiddenField(PageForm::kStatus) + "</form>",
            "TABLEROWEVEN", "1", "Center"))
        .Add("</tr></table>");
  });
}

}  // namespace tagvane
