#include "web/history_page.h"

#include <array>

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/fast_string.h"
#include "receiver/rfid_device.h"
#include "web/history_svg.h"
#include "web/html_escape.h"
#include "web/page_answer.h"
#include "web/page_chrome.h"
#include "web/request.h"
#include "web/response.h"

namespace tagvane {
namespace {

// The page's own look, whatever style sheet the site uses: the chart and
// the tables never grow wider than the screen.
constexpr std::string_view kStyle =
    "<style>.tvhistory{max-width:820px;margin:0 auto;box-sizing:border-box}"
    ".tvhistory svg{display:block;width:100%;height:auto;border-radius:4px}"
    ".tvranges a{margin-right:1.2em;white-space:nowrap}.tvranges a.tvcurrent{font-weight:bold;"
    "text-decoration:none}.tvkey{display:inline-block;width:1.2em;height:.8em;"
    "margin:0 .3em 0 .8em;vertical-align:middle}.tvkeyline{height:3px;background:#1f5fa8}"
    ".tvkeyon{background:#2f9e44}.tvkeyoff{background:#ced4da}"
    ".tvturns{width:100%;table-layout:fixed;background:#f7f9fb;color:#17202a;"
    "overflow-wrap:anywhere}.tvturns th{background:#2f4f6f;color:#fff;text-align:left}"
    ".tvturns td,.tvturns th{padding:.25em .4em}.tvtags li{margin:.3em 0}</style>";

constexpr std::array<std::pair<int, std::string_view>, 3> kRanges = {
    {{1, "Last hour"}, {24, "24 hours"}, {168, "7 days"}}};

std::string DisplayName(const RFIDDevice& device) {
  return device.Tag().empty() ? std::string(Right(device.DC(), 4)) : device.Tag();
}

// A tag= value that finds the device again: its name, else its code.
std::string LinkText(const RFIDDevice& device) {
  return device.Tag().empty() ? device.DC() : device.Tag();
}

std::string Count(size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

void TurnTable(FastString& out, const std::vector<HistoryTurn>& turns) {
  if (turns.empty()) {
    out.Add("<p>No turn On or Off in this window.</p>");
    return;
  }
  out.Add(
      "<table class=\"tvturns\"><tr><th>Time</th><th>Status</th><th>Figure</th>"
      "<th>Name, location</th></tr>");
  size_t shown = 0;
  for (auto t = turns.rbegin(); t != turns.rend() && shown < HistoryPage::kTurnRows; ++t, ++shown) {
    out.Add("<tr><td>")
        .Add(FormatGeneralDate(t->time))
        .Add("</td><td>")
        .Add(t->on ? "ON" : "OFF")
        .Add("</td><td>")
        .Add(std::to_string(t->figure))
        .Add("</td><td>")
        .Add(EscapeHtml(t->name))
        .Add(t->location.empty() ? "" : ", ")
        .Add(EscapeHtml(t->location))
        .Add("</td></tr>");
  }
  out.Add("</table>");
  if (turns.size() > shown) {
    out.Add("<p class=\"tvnote\">The newest ")
        .Add(std::to_string(shown))
        .Add(" of ")
        .Add(std::to_string(turns.size()))
        .Add(" turns.</p>");
  }
}

}  // namespace

std::string HistoryHref(std::string_view tag, int hours) {
  std::string href = "/history?tag=" + QueryEscape(tag);
  if (hours > 0) href += "&hours=" + std::to_string(hours);
  return href;
}

std::string HistoryPage::Head(Request& request, Response& response, const std::string& title) {
  std::string head;
  Guard(app_.Log(), "HistoryPage", [&] {
    const Settings& settings = app_.GetSettings();
    chrome_.SetCurrent(&request, &response);
    chrome_.StartMiscFunctionsASP();
    chrome_.SecurityCheck();
    chrome_.StartHeaderASP();
    head = chrome_.CustomHeader(
        {EscapeHtml(title), "", settings.Background, "x", settings.StyleSheet});
  });
  chrome_.SetCurrent(nullptr, nullptr);
  return head + std::string(kStyle);
}

std::string HistoryPage::Chooser() const {
  FastString out(4096);
  out.Add("<h3>Choose a tag</h3><ul class=\"tvtags\">");
  size_t listed = 0;
  for (const auto& [code, device] : app_.Tables().DeviceTable) {
    if (!device || !device->InUse() || device->Remove()) continue;
    ++listed;
    out.Add("<li><a href=\"")
        .Add(EscapeHtml(HistoryHref(LinkText(*device))))
        .Add("\">")
        .Add(EscapeHtml(DisplayName(*device)))
        .Add("</a> ")
        .Add(EscapeHtml(Right(code, 4)))
        .Add(device->Location().empty() ? "" : ", ")
        .Add(EscapeHtml(device->Location()))
        .Add("</li>");
  }
  out.Add("</ul>");
  if (listed == 0) out.Add("<p>No tag is accepted for use yet (see the status page).</p>");
  return out.Take();
}

std::string HistoryPage::Body(const HistoryAsk& ask, const HistoryResult& result, int hours) const {
  const RFIDDevice& device = *ask.device;
  const std::string name = DisplayName(device);
  FastString out(16384 + result.readings.size() * 16);
  out.Add("<div class=\"tvpage tvhistory\"><h2 class=\"tvcaption\">History of ")
      .Add(EscapeHtml(name))
      .Add("</h2><p>Tag ")
      .Add(EscapeHtml(Right(device.DC(), 4)))
      .Add(device.Location().empty() ? "" : ", ")
      .Add(EscapeHtml(device.Location()))
      .Add(", now ")
      .Add(StatusText(device.DeviceStatus()))
      .Add("</p><p class=\"tvranges\">");
  for (const auto& [h, label] : kRanges) {
    out.Add("<a href=\"")
        .Add(EscapeHtml(HistoryHref(LinkText(device), h)))
        .Add(h == hours ? "\" class=\"tvcurrent\" aria-current=\"page\">" : "\">")
        .Add(label)
        .Add("</a>");
  }
  out.Add("</p>");
  if (!result.ok) {
    out.Add("<p class=\"tverror\">")
        .Add(EscapeHtml(result.error.empty() ? "The readings could not be read" : result.error))
        .Add("</p></div>");
    return out.Take();
  }
  const DateTime now = app_.GetClock().Now();
  HistoryChart chart;
  chart.from = ask.query.from;
  chart.to = ask.query.to;
  chart.readings = &result.readings;
  chart.bands = PresenceBands(result.turns, result.before, ask.query.from,
                              std::min(ask.query.to, now), device.DeviceStatus());
  chart.label = "Signal strength of " + name + " from " + FormatGeneralDate(chart.from) + " to " +
                FormatGeneralDate(chart.to) + ", with its On and Off periods";
  out.Add(HistorySvg(chart))
      .Add(
          "<p class=\"tvlegend\"><span class=\"tvkey tvkeyline\"></span>Signal strength"
          "<span class=\"tvkey tvkeyon\"></span>On<span class=\"tvkey tvkeyoff\"></span>Off"
          "</p><p class=\"tvnote\">From ")
      .Add(FormatGeneralDate(chart.from))
      .Add(" to ")
      .Add(FormatGeneralDate(chart.to))
      .Add(": ")
      .Add(Count(result.readings_in_window, "reading", "readings"))
      .Add(", ")
      .Add(Count(result.turns.size(), "turn", "turns"))
      .Add(".");
  if (result.thinned) {
    out.Add(" The line shows ")
        .Add(std::to_string(result.readings.size()))
        .Add(" of them, evenly spaced.");
  }
  out.Add("</p><h3>Turns</h3>");
  TurnTable(out, result.turns);
  out.Add("</div>");
  return out.Take();
}

void HistoryPage::Serve(Request& request, Response& response) {
  auto send = [](Response r, int status, std::string page) {
    if (status == 200) {
      r.SendTextString(page, r.Index());
    } else {
      SendAnswer(r, status, "text/html", page);
    }
  };
  const std::string end = "</div></body></html>";
  if (TrimSpaces(request.QueryString("tag")).empty()) {
    send(response, 200,
         Head(request, response, "History") + "<div class=\"tvpage tvhistory\">" +
             "<h2 class=\"tvcaption\">History</h2>" + Chooser() + end);
    return;
  }
  auto read =
      ReadHistoryAsk(app_, [&request](std::string_view name) { return request.QueryString(name); });
  if (auto* error = std::get_if<HistoryAskError>(&read)) {
    send(response, 400,
         Head(request, response, "History") + "<div class=\"tvpage tvhistory\">" +
             "<h2 class=\"tvcaption\">History</h2><p class=\"tverror\">" +
             EscapeHtml(error->message) + "</p>" + Chooser() + end);
    return;
  }
  HistoryAsk ask = std::move(std::get<HistoryAsk>(read));
  const std::string head = Head(request, response, "History of " + DisplayName(*ask.device));
  HistorySource* source = app_.GetSettings().UseSQL == 0 ? nullptr : app_.Database().History();
  if (!source) {
    send(response, 200,
         head + "<div class=\"tvpage tvhistory\"><h2 class=\"tvcaption\">History of " +
             EscapeHtml(DisplayName(*ask.device)) + "</h2><p class=\"tverror\">" +
             std::string(kNoReadingDatabase) + "</p>" + end);
    return;
  }
  int hours = 0;
  if (request.QueryString("from").empty() && request.QueryString("to").empty()) {
    const std::string h = request.QueryString("hours");
    hours = h.empty() ? static_cast<int>(kDefaultHistorySpan.count()) : std::atoi(h.c_str());
  }
  const HistoryQuery query = ask.query;
  const bool asked =
      asker_.Ask(*source, query,
                 [this, response, head, ask = std::move(ask), hours, send](HistoryResult result) {
                   std::string body;
                   Guard(app_.Log(), "HistoryPage", [&] { body = Body(ask, result, hours); });
                   send(response, 200, head + body + "</body></html>");
                 });
  if (!asked) {
    send(response, 503,
         head +
             "<div class=\"tvpage tvhistory\"><p class=\"tverror\">Too many history "
             "pages are being read; try again in a moment.</p>" +
             end);
  }
}

}  // namespace tagvane
