// The page head and top: title and style sheet, include files, body tag,
// link bar, logo bar, scrolling news line and the custom links.
#include <array>

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/fast_string.h"
#include "core/numbers.h"
#include "core/text.h"
#include "web/html_escape.h"
#include "web/page_chrome.h"
#include "web/response.h"

namespace tagvane {
namespace {

constexpr std::string_view kIncludes = "includes.ini";
constexpr std::string_view kSiteIni = "settings.ini";
constexpr std::string_view kWeatherIni = "WeatherData.ini";
constexpr std::string_view kHeaderSection = "header.asp";

bool Included(const std::string& text) { return text != kNoFile; }

}  // namespace

std::string PageChrome::IncludeOption(std::string_view key, std::string_view def, bool write_back) {
  // A key written back empty reads as missing, so presence is asked of the
  // store itself: otherwise every page would write the file again.
  const IniTool* store = app_.Ini().Store(kIncludes);
  const bool present = store && store->HasKey(kHeaderSection, key);
  if (!present && write_back) {
    app_.Ini().SaveIniSetting(kHeaderSection, key, def, kIncludes);
    wrote_back_ = true;
  }
  return present ? app_.Ini().GetIniSetting(kHeaderSection, key, def, kIncludes) : std::string(def);
}

std::string PageChrome::CustomHeader(std::vector<std::string> options) {
  FastString out(8192);
  Guard(app_.Log(), "CustomHeader", [&] {
    wrote_back_ = false;
    options.resize(12);
    auto pick = [&](size_t i, std::string_view key, std::string_view def, bool write_back) {
      std::string from_ini = IncludeOption(key, def, write_back);
      return options[i].empty() ? from_ini : options[i];
    };
    const std::string title = pick(0, "strPageTitle", "n/a", true);
    const std::string body_attrs = options[1];
    const std::string background = options[2];
    const std::string background_image = options[3];
    std::string sheet = options[4];
    const std::string show_links = pick(5, "strShowLinks", "OldStyle", true);
    const std::string refresh = pick(6, "strRefresh", "", true);
    const std::string header = pick(7, "strHeader", "", false);
    pick(8, "strLogoYN", "Yes", true);
    const std::string security = pick(9, "UseSecurity", "None", true);
    const std::string hide_title = pick(10, "HideTitle", "", true);
    IncludeOption("linkslocation", "", true);
    const std::string scroll = IncludeOption("usePageScroll", "", true);
    if (!options[9].empty()) site_.Set("usesecurity", security);
    if (wrote_back_) app_.Ini().FlushIniCache();

    auto site = [&](std::string_view key) {
      return app_.Ini().GetIniSetting("Settings", key, "", kSiteIni);
    };
    const std::string product = "/" + std::string(kProductName) + "/";
    if (sheet.empty())
      sheet = product + "styleNoBody.css";
    else if (sheet.find('/') == std::string::npos)
      sheet = product + sheet;

    out.Add("<html><head><title>")
        .Add(site("gWebPageTitle"))
        .Add(" - ")
        .Add(StripTags(title))
        .Add("</title>")
        .Add("<link rel=\"stylesheet\" type=\"text/css\" href=\"")
        .Add(EscapeHtml(sheet))
        .Add("\">")
        .Add("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">")
        .Add("<meta HTTP-EQUIV=\"EXPIRES\" CONTENT=\"0\">")
        .Add("<meta HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\">");
    std::string seconds = refresh;
    if (LeadingNumber(seconds) <= 0) seconds = site("auto_refresh");
    if (LeadingNumber(seconds) > 0) {
      out.Add("<meta HTTP-EQUIV=\"refresh\" CONTENT=\"")
          .Add(std::to_string(ToInt32(LeadingNumber(seconds))))
          .Add("\">");
    }
    std::string meta = touch_screen_ ? GetFile("/html/meta_touchscreen.htm") : std::string(kNoFile);
    if (!Included(meta)) meta = GetFile("/html/meta.htm");
    if (Included(meta)) out.Add(meta);
    out.Add("</head>");

    const std::string onload = site("BODY_OnLoad");
    if (!onload.empty()) {
      out.Add("<body onload=\"").Add(EscapeHtml(onload)).Add("\" >");
    } else if (!background.empty() || (!background_image.empty() && background_image != "x")) {
      out.Add("<body");
      if (!background.empty()) out.Add(" bgcolor=\"").Add(EscapeHtml(background)).Add("\"");
      if (!background_image.empty() && background_image != "x") {
        out.Add(" background=\"").Add(EscapeHtml(background_image)).Add("\"");
      }
      if (!body_attrs.empty()) out.Add(" ").Add(body_attrs);
      out.Add(">");
    } else {
      out.Add("<body>");
    }
    if (Response::FindBelowRoot(html_root_, "/images/blank.gif")) {
      out.Add(
          "<table summary=\"skip\"><tr><td><a href=\"#pagecontent\">"
          "<img src=\"/images/blank.gif\" alt=\"Skip to content\" width=\"1\" height=\"1\" "
          "border=\"0\"></a></td></tr></table>");
    }
    std::string head = touch_screen_ ? GetFile("/html/head_touchscreen.htm") : std::string(kNoFile);
    if (!Included(head)) head = GetFile("/html/head.htm");
    if (Included(head)) out.Add(head);

    if (EqualsNoCase(show_links, "OLDSTYLE")) {
      std::string links =
          touch_screen_ ? GetFile(product + "links_touchscreen.htm") : std::string(kNoFile);
      if (!Included(links)) links = GetFile(product + "links.htm");
      if (Included(links)) out.Add(links);
    }
    if (!EqualsNoCase(header, "No_Logo") && !EqualsNoCase(header, "no")) {
      out.Add(LogoBar(title, !hide_title.empty()));
    }
    if (!scroll.empty()) out.Add(PageScroll());
    out.Add(CustomLinks());
    out.Add(HeaderExtra());
    out.Add("<a name=\"pagecontent\"></a>");
  });
  return out.Take();
}

std::string PageChrome::StripTags(std::string_view s) {
  std::string out;
  bool in_tag = false;
  for (char c : ReplaceAll(s, "&nbsp;", " ")) {
    if (c == '<')
      in_tag = true;
    else if (c == '>')
      in_tag = false;
    else if (!in_tag)
      out += c;
  }
  return out;
}

std::string PageChrome::LogoBar(const std::string& title, bool hide_title) {
  auto key = [&](std::string_view k) { return IncludeOption(k, "", false); };
  const DateTime now = app_.GetClock().Now();
  const std::string product = "/" + std::string(kProductName) + "/";
  FastString bar(2048);
  bar.Add(
      "<table summary=\"Logo Bar\" width=\"100%\" cellpadding=\"0\" cellspacing=\"0\">"
      "<tr class=\"logobar\">");
  if (!key("logoShowClock").empty()) {
    bar.Add("<td><img src=\"/images/clock.gif\" alt=\"\"></td>");
  }
  if (!key("logoShowDate").empty()) {
    bar.Add("<td class=\"logobar\">").Add(FormatMediumDate(now)).Add("</td>");
  }
  if (!key("logoShowTime").empty()) {
    const std::string clock = GetFile("/html/javascript/clock.js");
    bar.Add("<td class=\"logobar\"><span id=\"clock\">").Add(FormatTimeOfDay(now)).Add("</span>");
    if (Included(clock)) bar.Add("<script>").Add(clock).Add("</script>");
    bar.Add("</td>");
  }
  const std::string sunrise = app_.Ini().GetIniSetting("RFID", "Sunrise", "", kSettingsFile);
  const std::string sunset = app_.Ini().GetIniSetting("RFID", "Sunset", "", kSettingsFile);
  if (!key("logoShowSunrise").empty()) {
    bar.Add("<td class=\"logobar\"><img src=\"/images/sunrise.gif\" alt=\"Sunrise\">")
        .Add(EscapeHtml(sunrise))
        .Add("</td>");
  }
  if (!key("logoShowSunset").empty()) {
    bar.Add("<td class=\"logobar\"><img src=\"/images/sunset.gif\" alt=\"Sunset\">")
        .Add(EscapeHtml(sunset))
        .Add("</td>");
  }
  if (!key("logoShowWeatherManTemp").empty()) {
    const std::string temp =
        app_.Ini().GetIniSetting("WeatherCom_CurrentData", "Temp", "", kWeatherIni);
    if (!temp.empty()) {
      bar.Add("<td class=\"logobar\"><img src=\"/images/Temperatures/")
          .Add(EscapeHtml(temp))
          .Add(".gif\" alt=\"")
          .Add(EscapeHtml(temp))
          .Add("\"></td>");
    }
  }
  const std::string mode = ToUpper(Site("usesecurity"));
  if (!key("logoShowUsername").empty() && (mode == "ENHANCED" || mode == "BASIC")) {
    bar.Add("<td class=\"logobar\">").Add(EscapeHtml(user_name_)).Add("</td>");
  }
  std::string link = key("logoImageLink");
  if (link.empty()) link = "/status";
  bar.Add("<td class=\"logobar\" align=\"right\"><a href=\"")
      .Add(EscapeHtml(link))
      .Add("\"><img src=\"")
      .Add(product)
      .Add("images/logo.gif\" width=\"133\" height=\"25\" alt=\"")
      .Add(kProductName)
      .Add("\" border=\"0\"></a></td></tr></table>");
  if (!hide_title) {
    bar.Add("<table width=\"100%\"><tr><td class=\"pagetitle\">")
        .Add(title)
        .Add("</td></tr></table>");
  }
  return bar.Take();
}

std::string PageChrome::PageScroll() {
  const std::string script = GetFile("/html/javascript/page_scroll.js");
  if (!Included(script)) return {};
  auto weather = [&](std::string_view section, std::string_view key) {
    return app_.Ini().GetIniSetting(section, key, "", kWeatherIni);
  };
  std::string news = weather("WeatherCom_CurrentData", "Conditions");
  const std::string high = weather("WeatherCom_Forecast", "High");
  const std::string low = weather("WeatherCom_Forecast", "Low");
  if (!high.empty()) news += " High " + high;
  if (!low.empty()) news += " Low " + low;
  const std::string forecast = weather("WeatherCom_Forecast", "Forecast");
  if (!forecast.empty()) news += " " + forecast;
  const std::string alerts = weather("WeatherCom_Alerts", "Alert");
  if (!alerts.empty()) news += " " + alerts;
  // Quotes and tags in the weather text must not end the script's string.
  std::string safe;
  for (char c : news) {
    if (c != '"' && c != '\'' && c != '<' && c != '>' && c != '\\' && c != '\r' && c != '\n') {
      safe += c;
    }
  }
  return "<script>" + ReplaceAll(script, "(******REPLACE_PAGESCROLL******)", safe) + "</script>";
}

std::string PageChrome::CustomLinks() {
  const std::string links = GetFile("/" + std::string(kProductName) + "/Links.htm");
  if (!Included(links)) return {};
  const std::string host = GetServerIP();
  return ReplaceAll(links, "=\"/", "=\"http://" + host + ":" + http_port_ + "/");
}

}  // namespace tagvane
