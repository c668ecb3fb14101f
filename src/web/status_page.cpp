#include "web/status_page.h"

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/text.h"
#include "receiver/rfid_device.h"
#include "version.h"
#include "web/history_page.h"
#include "web/html_escape.h"
#include "web/page_chrome.h"
#include "web/page_forms.h"
#include "web/request.h"
#include "web/response.h"
#include "web/status_live.h"

namespace tagvane {
namespace {

constexpr std::string_view kSpacer = "</td></tr><tr><td>&nbsp;</td></tr><tr><td align='center'>";

std::string Box(std::string_view opening, bool set, std::string_view label) {
  return std::string(opening) + (set ? " checked " : " ") + std::string(label);
}

std::string_view Checked(bool set) { return set ? "checked" : ""; }

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
  // About 1.6 KB a tag row.
  FastString page(64 * 1024 + app_.Tables().DeviceTable.size() * 1700);
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
    FormatScreen(page);
  });
  return page.Take();
}

void StatusPages::FormatScreen(FastString& page) {
  const Settings& settings = app_.GetSettings();
  Guard(app_.Log(), "Status FormatScreen ", [&] {
    // The page's scripts go into the chrome's one head.
    FastString head(4096);
    head.Add("<SCRIPT LANGUAGE=\"JavaScript\">")
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
    if (popup != kNoFile) head.Add("<script>").Add(popup).Add("</script>");
    const std::string title = "RFID " + EscapeHtml(settings.receiverlocation) +
                              " Status&nbsp;&nbsp;<small><font size='1'></b> V" +
                              std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
                              "." + std::to_string(kVersionPatch) + "</font></small>";
    page.Add(chrome_.CustomHeader({title, "", settings.Background, "x", settings.StyleSheet},
                                  head.Value()))
        .Add("\r\n");
    page.Add("<div><center><small>")
        .Add("<Table align='center' class='tvlayout'><td align='center'>")
        .Add("<form name='control' method='post'>")
        .Add("<input type='hidden' name='clientinput' value='yes'>")
        .Add("<input type='hidden' name='clientvalue' value='yes'>")
        .Add(forms_.HiddenField(PageForm::kStatus))
        .Add(
            "<center><input type='submit' name ='UpdateButton' value='Save "
            "Changes'>&nbsp;&nbsp;&nbsp;&nbsp;")
        .Add("<input type='submit' name ='Refresh' value='Refresh'></center><br>");
    page.Add("<table border='5' frame='box' width= '550' class='tvoptions'><tr>")
        .Add(chrome_.FormatCell("Browser Content Display Control", "TABLEHEADER", "2", "Center"))
        .Add("</tr><tr>");
    auto cell = [&](std::string_view name, bool set, std::string_view label) {
      page.Add(chrome_.FormatCell(
          "<label>" +
              Box("<input type='checkbox' name ='" + std::string(name) + "' value='1'", set,
                  label) +
              "</label>",
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
    AddScriptErrors(page);
    page.Add(kStatusLiveScript)
        .Add(
            "<IFRAME frameborder=0 scrolling='no' name='hiddenframe' cols='0' rows='0' "
            "width='0' height='0' size='0' title='Read Script answer'>")
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
  page.Add("<table  border='5' frame='box' class='tvtags'><tr>");
  // Each heading is an abbreviation; its title says what it stands for.
  struct Heading {
    std::string_view name, value, meaning;
    bool parameter;  // left out with "Hide RFID Tag Parameters"
  };
  static constexpr Heading kHeadings[] = {
      {"R", "R", "Remove", false},
      {"A", "A", "Accept", false},
      {"P", "P", "Presence", false},
      {"ID", "ID", "Tag identifier", false},
      {"UID", "UID", "xAP sub-address", false},
      {"Location", "Location", "Location", false},
      {"OnWeight", "OnW", "On weight", true},
      {"OffWeight", "OffW", "Off weight", true},
      {"X10DC", "X10DC", "X10 device code", true},
      {"Tag", "Tag", "Tag name", true},
      {"Ev", "Ev", "Event notification", true},
      {"Changed", "Changed", "Last change", false},
  };
  for (const Heading& h : kHeadings) {
    if (h.parameter && settings.HideParameters) continue;
    page.Add(chrome_.FormatCell("<input type='submit' name='" + std::string(h.name) +
                                    "' value='" + std::string(h.value) + "' title='" +
                                    std::string(h.meaning) + "'>",
                                "TABLEHEADER", "1", "Center"));
  }
  page.Add("</tr>");

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
  const size_t first = row.DC.find_first_not_of('_');
  const std::string id = first == std::string::npos ? "" : EscapeHtml(row.DC.substr(first));
  // A row has thousands of siblings: its cells are written straight into
  // the page, their contents composed in one reused buffer.
  std::string& out = page.Buffer();
  std::string& v = cell_text_;
  auto cell = [&](std::string_view align, std::string_view cls = {}) {
    chrome_.AppendCell(out, v, cls.empty() ? std::string_view(k) : cls, "1", align);
    v.clear();
  };
  // What a screen reader says for a control of this row.
  auto label = [&](std::string_view what) {
    v.append(" aria-label='").append(what).append(" ").append(id).append("'");
  };
  auto check_box = [&](bool set, std::string_view name, std::string_view what) {
    v.append("<input type='checkbox' ").append(Checked(set)).append(" name='").append(name);
    v.append(u).append("'");
    label(what);
    v += '>';
  };
  auto text_box = [&](std::string_view size, std::string_view name, std::string_view what,
                      const std::string& value) {
    v.append("<input type='text' size='").append(size).append("' name='").append(name).append(u);
    v.append("' value='").append(EscapeHtml(value)).append("'");
    label(what);
    v += '>';
  };
  auto hidden = [&](std::string_view name, const std::string& value) {
    v.append("<input type='hidden' name='").append(name).append(u).append("' value='");
    v.append(EscapeHtml(value)).append("'>");
  };
  v.clear();

  // The live poll finds the row by its code and updates the marked parts.
  out.append("<tr data-dc='").append(EscapeHtml(row.DC)).append("'>");
  check_box(row.R, "Remove", "Remove");
  cell("Left");
  if (own) {
    check_box(row.A, "Accept", "Accept");
  } else {
    v = "&nbsp;";
  }
  cell("Left");
  v.append("<div class='tvp'><span class='tvsr'>").append(row.State).append(" </span>");
  v.append(row.Status).append("</div>");
  cell("Left");
  // A code of underscores alone keeps its cell, so the columns stay aligned.
  // The identifier opens the tag's history.
  if (id.empty()) {
    v = "&nbsp;";
  } else {
    v.append("<a href=\"").append(EscapeHtml(HistoryHref(row.DC))).append("\">").append(id);
    v.append("</a>");
  }
  cell("Right");
  v = EscapeHtml(row.UID);
  cell("Left");
  if (own) {
    text_box("15", "Location", "Location", row.Location);
  } else {
    v.append("<span class='tvloc'>").append(EscapeHtml(row.Location)).append("</span>");
  }
  cell("Left");
  auto changed = [&] {
    v.append("<span class='tvchanged'>").append(FormatChangeTime(row.Changed)).append("</span>");
  };
  if (!settings.HideParameters) {
    if (plain_own) {
      text_box("1", "OnWeight", "On weight", row.OnWeight);
      cell("Left");
      text_box("1", "OffWeight", "Off weight", row.OffWeight);
      cell("Left");
    } else {
      v = "&nbsp;";
      cell("Left");
      v = "&nbsp;";
      cell("Left");
    }
    text_box("3", "X10DC", "X10 device code", row.X10DC);
    cell("Left");
    text_box("15", "Tag", "Tag name", row.Tag);
    cell("Left", "tablecellmisc");
    check_box(row.Ev, "Ev", "Event notification");
    cell("Left");
    changed();
    cell("Left");
  } else {
    hidden("OnWeight", row.OnWeight);
    hidden("OffWeight", row.OffWeight);
    hidden("X10DC", row.X10DC);
    hidden("Tag", row.Tag);
    if (row.Ev) v.append("<input type='hidden' value='1' name='Ev").append(u).append("'>");
    changed();
    cell("Left");
  }
  out.append("</tr>");
}

std::string StatusPages::FormatChangeTime(DateTime d) const { return ChangeTimeText(d, today_); }

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
