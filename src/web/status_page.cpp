#include "web/status_page.h"

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/text.h"
#include "receiver/rfid_device.h"
#include "version.h"
#include "web/html_escape.h"
#include "web/page_chrome.h"
#include "web/page_forms.h"
#include "web/request.h"
#include "web/response.h"

namespace tagvane {
namespace {

constexpr std::string_view kSpacer = "</td></tr><tr><td>&nbsp;</td></tr><tr><td align='center'>";

std::string Box(std::string_view opening, bool set, std::string_view label) {
  return std::string(opening) + (set ? " checked " : " ") + std::string(label);
}

std::string Checked(bool set) { return set ? "checked" : ""; }

}  // namespace

StatusPages::StatusPages(App& app, PageChrome& chrome, PageForms& forms)
    : app_(app), chrome_(chrome), forms_(forms) {}

std::string StatusPages::StatusPage(Request& request, Response& response) {
  std::string page;
  Guard(app_.Log(), "StatusPage: ", [&] {
    request_ = &request;
    response_ = &response;
    chrome_.SetCurrent(&request, &response);
    chrome_.StartMiscFunctionsASP();
    chrome_.SecurityCheck();
    chrome_.StartHeaderASP();
    page = Status_ASP();
  });
  request_ = nullptr;
  response_ = nullptr;
  chrome_.SetCurrent(nullptr, nullptr);
  return page;
}

std::string StatusPages::Status_ASP() {
  FastString page(64 * 1024 + rows_.size() * 1400);
  Guard(app_.Log(), "Status_ASP:", [&] {
    bool draw = true;
    if (!FormValue("clientinput").empty()) {
      // Save Changes must come from a page drawn after the last save; the
      // commands (sorting, Read Script, BSC Query) only from a page of ours.
      const bool save = !FormValue("UpdateButton").empty();
      if (!request_ || !response_ ||
          !forms_.Admit(*request_, *response_, PageForm::kStatus, save, "status")) {
        return;
      }
      draw = ClientRequest();
      if (save) forms_.Saved();
    }
    if (!draw) return;
    sort_key_ =
        RemoveQuotes(app_.Ini().GetIniSetting("RFID", "StatusSortKey", "DCSort", kSettingsFile));
    sort_direction_ =
        RemoveQuotes(app_.Ini().GetIniSetting("RFID", "StatusSortDirection", "", kSettingsFile));
    const DateTime now = app_.GetClock().Now();
    today_ = std::chrono::floor<std::chrono::days>(now);
    yesterday_ = today_ - std::chrono::days(1);
    FormatScreen(page);
  });
  return page.Take();
}

void StatusPages::FormatScreen(FastString& page) {
  const Settings& settings = app_.GetSettings();
  Guard(app_.Log(), "Status FormatScreen ", [&] {
    page.Add("<html><head>")
        .Add("<SCRIPT LANGUAGE=\"JavaScript\">")
        .Add("function ClearSubmit(button) {")
        .Add("  document.control.clientvalue.value = button.value;")
        .Add("  document.control.clientinput.value = button.name;")
        .Add("  document.control.submit();}")
        .Add("function HiddenSubmit(button) {")
        .Add(
            "  window.parent.frames['hiddenframe'].document.forms['hiddenform'].elements['"
            "clientvalue'].value = button.value;")
        .Add(
            "  window.parent.frames['hiddenframe'].document.forms['hiddenform'].elements['"
            "clientinput'].value = button.name;")
        .Add("  window.parent.frames['hiddenframe'].document.forms['hiddenform'].submit();}")
        .Add("function CheckPort(text,button) {")
        .Add(
            "  if (text.value==\"\") {alert(\"Comm port must be defined before sending "
            "commands\");}")
        .Add("  else {")
        .Add("     document.control.clientinput.value = button.name;")
        .Add("     document.control.submit();}")
        .Add("}")
        .Add("</script>");
    // The header cells' help pop-ups call myPopup, which this script defines.
    const std::string popup = chrome_.GetFile("Tagvane/popup.js");
    if (popup != kNoFile) page.Add("<script>").Add(popup).Add("</script>");
    const std::string title = "RFID " + EscapeHtml(settings.receiverlocation) +
                              " Status&nbsp;&nbsp;<small><font size='1'></b> V" +
                              std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
                              "." + std::to_string(kVersionPatch) + "</font></small>";
    page.Add(chrome_.CustomHeader({title, "", settings.Background, "x", settings.StyleSheet}))
        .Add("\r\n");
    page.Add("<div><center><small>")
        .Add("<Table align='center'><td align='center'>")
        .Add("<form name='control' method='post'>")
        .Add("<input type='hidden' name='clientinput' value='yes'>")
        .Add("<input type='hidden' name='clientvalue' value='yes'>")
        .Add(forms_.HiddenField(PageForm::kStatus))
        .Add(
            "<center><input type='submit' name ='UpdateButton' value='Save "
            "Changes'>&nbsp;&nbsp;&nbsp;&nbsp;")
        .Add("<input type='submit' name ='Refresh' value='Refresh'></center><br>");
    page.Add("<table border='5' frame='box' width= '550'><tr>")
        .Add(chrome_.FormatCell("Browser Content Display Control", "TABLEHEADER", "2", "Center"))
        .Add("</tr><tr>");
    auto cell = [&](std::string_view name, bool set, std::string_view label) {
      page.Add(chrome_.FormatCell(
          Box("<input type='checkbox' name ='" + std::string(name) + "' value='1'", set, label),
          "TABLEROWEVEN", "1", "Left"));
    };
    cell("ShowSetup", settings.ShowSetup, ">&nbsp;Show Setup");
    cell("ShowReceiveMessages", settings.ShowReceiveMessages, ">&nbsp;Show Receive xAP Messages");
    page.Add("</tr><tr>");
    cell("ShowOnlyUsed", settings.ShowOnlyUsed, ">&nbsp;Show Only Accepted");
    cell("ShowReceiveDetail", settings.ShowReceiveDetail, ">&nbsp;Show Receive xAP Detail");
    page.Add("</tr><tr>");
    cell("HideRemoved", settings.HideRemoved, ">&nbsp;Hide Removed");
    cell("HideParameters", settings.HideParameters, ">&nbsp;Hide RFID Tag Parameters");
    page.Add("</tr></table>");
    if (settings.ShowSetup) {
      page.Add(kSpacer);
      AddSetup(page);
    }
    page.Add(kSpacer);
    TagTable(page);
    page.Add("</table>");
    if (settings.ShowReceiveMessages) {
      page.Add(kSpacer);
      AddFilter(page);
      page.Add(kSpacer);
    }
    page.Add("</form>");
    AddScriptButton(page);
    page.Add(
            "<IFRAME frameborder=0 scrolling='no' name='hiddenframe' cols='0' rows='0' "
            "width='0' height='0' size='0'>")
        .Add(
            "<form name='hiddenform' method = 'post'><input type='hidden' name='clientinput' "
            "value='x'><input type='hidden' name='clientvalue' value='y'>")
        .Add(forms_.HiddenField(PageForm::kStatus))
        .Add("</form>")
        .Add("</IFRAME>")
        .Add("</table>")
        .Add("</small></center></div>")
        .Add("</body></html>");
  });
  setup_shown_ = settings.ShowSetup;
  messages_shown_ = settings.ShowReceiveMessages;
}

void StatusPages::TagTable(FastString& page) {
  const Settings& settings = app_.GetSettings();
  page.Add("<table  border='5' frame='box'><tr>");
  auto button = [&](std::string_view name, std::string_view value) {
    page.Add(chrome_.FormatCell(
        "<input type='submit' name='" + std::string(name) + "' value='" + std::string(value) + "'>",
        "TABLEHEADER", "1", "Center"));
  };
  button("R", "R");
  button("A", "A");
  button("P", "P");
  button("ID", "ID");
  button("UID", "UID");
  button("Location", "Location");
  if (!settings.HideParameters) {
    button("OnWeight", "OnW");
    button("OffWeight", "OffW");
    button("X10DC", "X10DC");
    button("Tag", "Tag");
    button("Ev", "Ev");
  }
  button("Changed", "Changed");
  page.Add("</tr><tr>");

  rows_.clear();
  size_t i = 0;
  for (const auto& [code, device] : app_.Tables().DeviceTable) {
    if (device && (!device->Remove() || !settings.HideRemoved)) {
      rows_.push_back(MakeStatusRow(*device, i));
    }
    ++i;
  }
  if (!rows_.empty()) {
    const std::string sort = std::string(TrimSpaces(sort_key_ + " " + sort_direction_));
    if (!SortStatusRows(rows_, sort)) {
      app_.Log().LogEvent(kProductSource, "Status FormatScreen ");
    }
  }
  std::string k = "TABLEROWEVEN";
  for (StatusRow& row : rows_) {
    if (!row.Used && settings.ShowOnlyUsed) continue;
    Guard(app_.Log(), "Status FormatScreen ", [&] { TagRow(page, row, k); });
    k = k == "TABLEROWEVEN" ? "TABLEROWODD" : "TABLEROWEVEN";
  }
}

void StatusPages::TagRow(FastString& page, StatusRow& row, const std::string& k) {
  const Settings& settings = app_.GetSettings();
  const std::string& u = row.UIDIndex;
  const std::string receiver = row.DC.size() >= 12 ? row.DC.substr(6, 6) : "";
  const bool own = EqualsNoCase(receiver, app_.State().ReceiverCode);
  const bool plain_own = own && row.DC.substr(0, 6) == kCodeFill;
  auto cell = [&](const std::string& text, std::string_view align, std::string_view cls = {}) {
    page.Add(chrome_.FormatCell(text, cls.empty() ? std::string_view(k) : cls, "1", align));
  };

  cell("<input type='checkbox' " + Checked(row.R) + " name='Remove" + u + "'>", "Left");
  cell(own ? "<input type='checkbox' " + Checked(row.A) + " name='Accept" + u + "'>" : "&nbsp;",
       "Left");
  cell(row.Status, "Left");
  const size_t first = row.DC.find_first_not_of('_');
  // A code of underscores alone keeps its cell, so the columns stay aligned.
  cell(first == std::string::npos ? "&nbsp;" : EscapeHtml(row.DC.substr(first)), "Right");
  cell(EscapeHtml(row.UID), "Left");
  cell(own ? "<input type='text' size='15' name='Location" + u + "' value='" +
                 EscapeHtml(row.Location) + "'>"
           : EscapeHtml(row.Location),
       "Left");
  if (!settings.HideParameters) {
    if (plain_own) {
      cell("<input type='text' size='1' name='OnWeight" + u + "' value='" +
               EscapeHtml(row.OnWeight) + "'>",
           "Left");
      cell("<input type='text' size='1' name='OffWeight" + u + "' value='" +
               EscapeHtml(row.OffWeight) + "'>",
           "Left");
    } else {
      cell("&nbsp;", "Left");
      cell("&nbsp;", "Left");
    }
    cell("<input type='text' size='3' name='X10DC" + u + "' value='" + EscapeHtml(row.X10DC) + "'>",
         "Left");
    cell("<input type='text' size='15' name='Tag" + u + "' value='" + EscapeHtml(row.Tag) + "'>",
         "Left", "tablecellmisc");
    cell("<input type='checkbox' " + Checked(row.Ev) + " name='Ev" + u + "'>", "Left");
    cell(FormatChangeTime(row.Changed), "Left");
  } else {
    std::string hidden =
        "<input type='hidden' name='OnWeight" + u + "' value='" + EscapeHtml(row.OnWeight) + "'>" +
        "<input type='hidden' name='OffWeight" + u + "' value='" + EscapeHtml(row.OffWeight) +
        "'>" + "<input type='hidden' name='X10DC" + u + "' value='" + EscapeHtml(row.X10DC) + "'>" +
        "<input type='hidden' name='Tag" + u + "' value='" + EscapeHtml(row.Tag) + "'>";
    if (row.Ev) hidden += "<input type='hidden' value='1' name='Ev" + u + "'>";
    cell(hidden + FormatChangeTime(row.Changed), "Left");
  }
  page.Add("</tr><tr>");
}

std::string StatusPages::FormatChangeTime(DateTime d) const {
  if (d == DateTime{} || d == MakeDateTime(2000, 1, 1)) return {};
  if (d >= yesterday_) {
    return std::string(d >= today_ ? "Today " : "Yesterday ") + FormatTimeOfDay(d);
  }
  return FormatGeneralDate(d);
}

std::string StatusPages::StripHTML(std::string_view s) {
  std::string out(s);
  for (std::string_view mark : {"&nbsp;", "&nbsp"}) {
    for (size_t at = FindNoCase(out, mark); at != std::string::npos; at = FindNoCase(out, mark)) {
      out.erase(at, mark.size());
    }
  }
  for (;;) {
    const size_t open = out.find('<');
    if (open == std::string::npos) break;
    const size_t close = out.find('>', open);
    if (close == std::string::npos) break;
    out.erase(open, close - open + 1);
  }
  return out;
}

}  // namespace tagvane
