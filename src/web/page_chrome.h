// The chrome around generated pages: the head with title, style sheet and
// refresh, the logo bar, link bar and include files, table cells in the
// fixed set of styles, the client classification (touch screens) and the
// web access check. Options come from includes.ini, settings.ini and
// WeatherData.ini when the installation supplies them; blocks whose files
// are absent are left out.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ci_map.h"

namespace tagvane {

class App;
class Request;
class Response;

class PageChrome {
 public:
  // html_root: the HTML folder; http_port: for absolute custom links.
  PageChrome(App& app, std::filesystem::path html_root);

  // The request being answered (read by every call below).
  void SetCurrent(const Request* request, Response* response) {
    request_ = request;
    response_ = response;
  }
  void SetHttpPort(std::string port) { http_port_ = std::move(port); }
  // Mark-up added at the end of every page's header (the activity
  // indicator and the menu).
  void SetHeaderExtra(std::function<std::string()> extra) { header_extra_ = std::move(extra); }
  std::string HeaderExtra() const { return header_extra_ ? header_extra_() : std::string(); }

  // Loads the site settings of section "Settings" of Tagvane.ini.
  void StartMiscFunctionsASP();
  // Classifies the client; returns the touch-screen flag.
  bool StartHeaderASP();
  // Sets the user's level and name by the usesecurity mode.
  void SecurityCheck();
  // Logs an access above the user's level and redirects.
  void LogAuthorized(std::string_view page);

  // A table cell in style cls; AppendCell writes it at the end of out.
  std::string FormatCell(std::string_view text, std::string_view cls, std::string_view colspan,
                         std::string_view align) const;
  void AppendCell(std::string& out, std::string_view text, std::string_view cls,
                  std::string_view colspan, std::string_view align) const;
  // options: one item (the page title) or up to twelve page options;
  // head_extra: the page's own scripts, put inside the one head.
  std::string CustomHeader(std::vector<std::string> options, std::string_view head_extra = {});

  // Whole text of a file below the HTML root, "No File" when it is missing
  // or holds only blanks.
  std::string GetFile(std::string_view path) const;
  std::string GetServerIP();
  std::string fnPageName() const;

  bool TouchScreen() const { return touch_screen_; }
  int SecurityLevel() const { return security_level_; }
  const std::string& UserName() const { return user_name_; }
  const std::string& Site(std::string_view key) const;

 private:
  static std::string StripTags(std::string_view s);
  std::string IncludeOption(std::string_view key, std::string_view def, bool write_back);
  std::string LogoBar(const std::string& title, bool hide_title);
  std::string PageScroll();
  std::string CustomLinks();
  void EnhancedCheck(const std::string& client);

  App& app_;
  std::filesystem::path html_root_;
  const Request* request_ = nullptr;
  Response* response_ = nullptr;
  CaseInsensitiveMap<std::string> site_;
  std::string row_style_;
  std::string http_port_ = "8017";
  std::string server_host_;
  bool touch_screen_ = false;
  int security_level_ = 0;
  std::string user_name_;
  bool wrote_back_ = false;
  std::function<std::string()> header_extra_;
};

inline constexpr std::string_view kNoFile = "No File";

}  // namespace tagvane
