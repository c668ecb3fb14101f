#include "ui/menu_bar.h"

#include "core/fast_string.h"
#include "web/page_answer.h"
#include "ui/tray_icon.h"
#include "web/html_escape.h"

namespace tagvane {
namespace {

// Shows the activity picture while the daemon reports a blink, or for one
// blink's length when blinks happened between two polls.
constexpr std::string_view kIndicatorScript = R"(<script>
(function () {
  var img = document.getElementById('tvIndicator');
  if (!img || window.tvIndicatorPolling) return;
  window.tvIndicatorPolling = true;
  var blinks = -1, idle = img.getAttribute('data-idle'), busy = img.getAttribute('data-busy');
  window.tvShowIndicator = function (d) {
    if (!d) return;
    if (d.tip) img.title = d.tip;
    var fresh = blinks >= 0 && d.blinks !== blinks;
    blinks = d.blinks;
    if (d.active || fresh) {
      img.src = busy;
      clearTimeout(img.tvTimer);
      img.tvTimer = setTimeout(function () { img.src = idle; }, 200);
    }
  };
  function poll() {
    if (window.tvMonitorPolling) return;
    fetch('/indicator', {cache: 'no-store'}).then(function (r) { return r.json(); })
      .then(window.tvShowIndicator).catch(function () {})
      .then(function () { setTimeout(poll, 700); });
  }
  poll();
})();
</script>)";

}  // namespace

std::string MenuBarHtml(const ActivityIndicator& indicator, std::string_view exit_token_field) {
  const std::string tip = EscapeHtml(indicator.Tray().Caption());
  FastString out(2048);
  out.Add("<div class=\"tvmenu\" id=\"tvMenu\"><img id=\"tvIndicator\" class=\"tvindicator\" src=\"")
      .Add(indicator.Active() ? kActivityPicture : kIdlePicture)
      .Add("\" data-idle=\"")
      .Add(kIdlePicture)
      .Add("\" data-busy=\"")
      .Add(kActivityPicture)
      .Add("\" width=\"16\" height=\"16\" title=\"")
      .Add(tip)
      .Add("\" alt=\"")
      .Add(tip)
      .Add("\">");
  for (const MenuItem& item : kMenuItems) {
    if (item.caption == "-") {
      out.Add("<span class=\"tvsep\"></span>");
    } else if (item.caption == "Exit") {
      out.Add("<form class=\"tvexit\" method=\"post\" action=\"")
          .Add(item.href)
          .Add("\" onsubmit=\"return window.confirm('Stop Tagvane? The tag table and the settings are "
               "saved first.')\"><input type=\"hidden\" name=\"confirmed\" value=\"yes\">")
          .Add(exit_token_field)
          .Add("<input type=\"submit\" name=\"Exit\" value=\"Exit\"></form>");
    } else if (item.href.empty()) {
      out.Add("<span class=\"tvoff\" aria-disabled=\"true\">").Add(item.caption).Add("</span>");
    } else {
      out.Add("<a href=\"").Add(item.href).Add("\">").Add(item.caption).Add("</a>");
    }
  }
  out.Add("</div>").Add(kIndicatorScript);
  return out.Take();
}

std::string IndicatorJson(const ActivityIndicator& indicator) {
  return std::string("{\"shown\":") + (indicator.Tray().Shown() ? "true" : "false") +
         ",\"active\":" + (indicator.Active() ? "true" : "false") +
         ",\"blinks\":" + std::to_string(indicator.Blinks()) +
         ",\"tip\":" + JsonString(indicator.Tray().Caption()) + "}";
}

}  // namespace tagvane
