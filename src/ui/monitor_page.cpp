#include "ui/monitor_page.h"

#include <charconv>

#include "core/app.h"
#include "core/fast_string.h"
#include "ui/menu_bar.h"
#include "web/page_answer.h"
#include "ui/tray_icon.h"
#include "web/html_escape.h"
#include "web/request.h"

namespace tagvane {
namespace {

constexpr std::string_view kScript = R"(<script>
(function () {
  window.tvMonitorPolling = true;
  var box = document.getElementById('CommData'), filter = document.getElementById('aTagFilter');
  var freeze = document.getElementById('Freeze'), status = document.getElementById('aOpenStatus');
  var seq = box.getAttribute('data-seq');
  box.scrollTop = box.scrollHeight;
  function send() {
    var token = document.getElementById('tvMonitorForm').elements['pagetoken'];
    var body = 'monitorform=1&aTagFilter=' + encodeURIComponent(filter.value) +
        (freeze.checked ? '&Freeze=on' : '') +
        (token ? '&pagetoken=' + encodeURIComponent(token.value) : '');
    return fetch('/monitor', {method: 'POST', body: body,
        headers: {'Content-Type': 'application/x-www-form-urlencoded'}})
      .then(function (r) {
        if (!r.ok) window.alert('Not applied (' + r.status + '): reload the page and try again.');
      }).catch(function () {});
  }
  freeze.addEventListener('change', send);
  filter.addEventListener('change', send);
  document.getElementById('tvMonitorForm').addEventListener('submit', function (e) {
    e.preventDefault();
    send();
  });
  function poll() {
    fetch('/monitor/data?since=' + seq, {cache: 'no-store'})
      .then(function (r) { return r.json(); })
      .then(function (d) {
        if (d.reset) box.value = d.text; else if (d.text) box.value += d.text;
        if (box.value.length > 10000) box.value = box.value.slice(-10000);
        seq = d.seq;
        status.textContent = d.status;
        if (document.activeElement !== filter) filter.value = d.filter;
        if (document.activeElement !== freeze) freeze.checked = d.freeze;
        if (!freeze.checked && (d.text || d.reset)) box.scrollTop = box.scrollHeight;
        if (window.tvShowIndicator) window.tvShowIndicator(d);
      })
      .catch(function () {})
      .then(function () { setTimeout(poll, 500); });
  }
  setTimeout(poll, 500);
})();
</script>)";

std::string_view Bool(bool b) { return b ? "true" : "false"; }

// The captions over the columns of a monitor line, in the same fixed font
// and tab stops: "hh:mm:ss |  " (12 characters), the delta time at 12 (it
// reaches past 16 from "(0.1)" on), the report at 24, the 20-character
// location at 32, then strength 56, average 64, figure of merit 72 and
// status 80. A caption wider than its column goes on the second line, so
// each starts over its own values.
constexpr std::string_view kColumnCaptions =
    "            Delta Time                                  Strength        FOM\n"
    "                                                                Avg Strength    Status";

}  // namespace

MonitorPage::MonitorPage(App& app, const ActivityIndicator& indicator)
    : app_(app), indicator_(indicator) {}

DataMonitor& MonitorPage::Monitor() {
  DataMonitor* monitor = app_.Receiver().Monitor();
  return monitor ? *monitor : standby_;
}

std::string MonitorPage::Caption() const {
  return "RFID Data Monitor Window for Receiver " + app_.GetSettings().receiverlocation;
}

std::string MonitorPage::Body(std::string_view token_field) {
  DataMonitor& monitor = Monitor();
  FastString out(monitor.CommData().size() + 8192);
  out.Add("<div class=\"tvpage tvmonitor\"><h2 class=\"tvcaption\">")
      .Add(EscapeHtml(Caption()))
      .Add("</h2><form method=\"post\" action=\"/monitor\" id=\"tvMonitorForm\">")
      .Add("<input type=\"hidden\" name=\"monitorform\" value=\"1\">")
      .Add(token_field)
      .Add("<label>Show Only Tag <input type=\"text\" name=\"aTagFilter\" id=\"aTagFilter\" "
           "size=\"16\" value=\"")
      .Add(EscapeHtml(monitor.aTagFilter))
      .Add("\"></label> <label><input type=\"checkbox\" name=\"Freeze\" id=\"Freeze\"")
      .Add(monitor.Freeze ? " checked" : "")
      .Add("> Freeze</label> <input type=\"submit\" value=\"Apply\"></form>")
      .Add("<div class=\"tvstatus\">Port Status <span id=\"aOpenStatus\">")
      .Add(EscapeHtml(monitor.aOpenStatus))
      .Add("</span></div><div class=\"tvcolumns\" id=\"tvColumns\">")
      .Add(kColumnCaptions)
      .Add("</div>")
      .Add("<textarea id=\"CommData\" readonly wrap=\"off\" rows=\"24\" spellcheck=\"false\" "
           "data-seq=\"")
      .Add(std::to_string(monitor.Appended()))
      .Add("\">\n")
      .Add(EscapeHtml(monitor.CommData()))
      .Add("</textarea>")
      .Add("<p class=\"tvnote\">The filter and Freeze are shared by every browser that "
           "shows this page.</p></div>")
      .Add(kScript);
  return out.Take();
}

std::string MonitorPage::DataJson(std::string_view since) {
  last_poll_ = app_.GetClock().Now();
  polled_ = true;
  DataMonitor& monitor = Monitor();
  const uint64_t now = monitor.Appended();
  const std::string_view text = monitor.CommData();
  uint64_t from = 0;
  const auto parsed = std::from_chars(since.data(), since.data() + since.size(), from);
  const bool known = parsed.ec == std::errc() && parsed.ptr == since.data() + since.size();
  const bool reset = !known || from > now || now - from > text.size();
  const std::string_view fresh = reset ? text : text.substr(text.size() - (now - from));
  FastString out(fresh.size() + fresh.size() / 8 + 512);
  out.Add("{\"seq\":")
      .Add(std::to_string(now))
      .Add(",\"reset\":")
      .Add(Bool(reset))
      .Add(",\"text\":")
      .Add(JsonString(fresh))
      .Add(",\"status\":")
      .Add(JsonString(monitor.aOpenStatus))
      .Add(",\"filter\":")
      .Add(JsonString(monitor.aTagFilter))
      .Add(",\"freeze\":")
      .Add(Bool(monitor.Freeze))
      .Add(",\"active\":")
      .Add(Bool(indicator_.Active()))
      .Add(",\"blinks\":")
      .Add(std::to_string(indicator_.Blinks()))
      .Add(",\"tip\":")
      .Add(JsonString(indicator_.Tray().Caption()))
      .Add("}");
  return out.Take();
}

void MonitorPage::Apply(const Request& request) {
  if (request.Form("monitorform").empty()) return;
  DataMonitor& monitor = Monitor();
  std::string filter = request.Form("aTagFilter");
  if (filter.size() > kFilterLimit) filter.resize(kFilterLimit);
  monitor.aTagFilter = std::move(filter);
  monitor.Freeze = !request.Form("Freeze").empty();
}

bool MonitorPage::MonitorOpen() const {
  return polled_ && app_.GetClock().Now() - last_poll_ < std::chrono::seconds(kOpenSeconds);
}

}  // namespace tagvane
