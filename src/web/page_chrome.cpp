#include "web/page_chrome.h"

#include <sqlite3.h>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"
#include "web/request.h"
#include "web/response.h"

namespace tagvane {
namespace {

constexpr std::string_view kSiteKeys[] = {
    "dbpath",         "dbname",         "dbusername",     "dbpassword",
    "dbserverip",     "rowstyle",       "usesecurity",    "linkfileext",
    "dbtype",         "hsip",           "exthsip",        "footerlinkrule",
    "useslideinmenu", "audreyrowstyle", "touchscreenips", "usesound"};

}  // namespace

PageChrome::PageChrome(App& app, std::filesystem::path html_root)
    : app_(app), html_root_(std::move(html_root)) {}

const std::string& PageChrome::Site(std::string_view key) const {
  static const std::string kEmpty;
  const std::string* v = site_.Find(key);
  return v ? *v : kEmpty;
}

void PageChrome::StartMiscFunctionsASP() {
  Guard(app_.Log(), "StartMiscFunctionsASP", [&] {
    site_.Clear();
    for (std::string_view key : kSiteKeys) {
      site_.Add(std::string(key), app_.Ini().GetIniSetting("Settings", key, "", kSettingsFile));
    }
    row_style_ = Site("rowstyle");
  });
}

bool PageChrome::StartHeaderASP() {
  touch_screen_ = false;
  Guard(app_.Log(), "StartHeaderASP", [&] {
    if (!request_) return;
    const std::string client = request_->ServerVariables("REMOTE_ADDR");
    for (const std::string& ip : Split(Site("touchscreenips"), ',')) {
      if (!client.empty() && std::string(TrimSpaces(ip)) == client) touch_screen_ = true;
    }
    const std::string agent = request_->ServerVariables("http_user_agent");
    if (FindNoCase(agent, "Audrey") != std::string::npos ||
        FindNoCase(agent, "QNX") != std::string::npos) {
      touch_screen_ = true;
    }
    if (touch_screen_) row_style_ = Site("audreyrowstyle");
  });
  return touch_screen_;
}

void PageChrome::SecurityCheck() {
  Guard(app_.Log(), "SecurityCheck", [&] {
    const std::string mode = ToUpper(Site("usesecurity"));
    const std::string client = request_ ? request_->ServerVariables("REMOTE_ADDR") : "";
    if (mode == "ENHANCED") {
      EnhancedCheck(client);
    } else if (mode == "BASIC") {
      const std::string user = ToUpper(request_ ? request_->ServerVariables("AUTH_USER") : "");
      if (user != "GUEST" && !user.ends_with("SET") && !user.empty()) {
        security_level_ = 10;
        user_name_ = user;
      } else if (user.ends_with("SET")) {
        security_level_ = 10;
        user_name_ = "LOCAL";
      } else {
        security_level_ = 0;
        user_name_ = "GUEST";
      }
    } else if (mode == "NONE") {
      security_level_ = 10;
      user_name_ = "NO SECURITY";
    }
  });
}

void PageChrome::EnhancedCheck(const std::string& client) {
  const std::string db = Site("dbpath");
  if (db.empty() || EqualsNoCase(db, "NA")) return;
  std::filesystem::path path(db);
  if (path.is_relative()) path = std::filesystem::path(app_.AppPath()) / path;
  sqlite3* handle = nullptr;
  // Read and write, never create: a missing menu database is an error.
  if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    throw std::runtime_error("cannot open menu database " + path.string());
  }
  struct Closer {
    sqlite3* h;
    ~Closer() { sqlite3_close(h); }
  } closer{handle};
  sqlite3_stmt* select = nullptr;
  if (sqlite3_prepare_v2(handle, "SELECT UserID, SecureLevel, SecID FROM MenuUsers WHERE SecID = ?",
                         -1, &select, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(handle));
  }
  sqlite3_bind_text(select, 1, client.c_str(), static_cast<int>(client.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(select);
  if (rc != SQLITE_ROW) {
    sqlite3_finalize(select);
    security_level_ = 0;
    user_name_ = "None";
    return;
  }
  const auto* user = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
  const auto* level = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
  security_level_ = ToInt32(LeadingNumber(level ? level : ""));
  user_name_ = user ? user : "";
  sqlite3_finalize(select);
  sqlite3_stmt* update = nullptr;
  if (sqlite3_prepare_v2(handle,
                         "UPDATE MenuUsers SET LastSessTime = datetime('now','localtime') "
                         "WHERE SecID = ?",
                         -1, &update, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(update, 1, client.c_str(), static_cast<int>(client.size()), SQLITE_TRANSIENT);
    sqlite3_step(update);
  }
  sqlite3_finalize(update);
}

void PageChrome::LogAuthorized(std::string_view page) {
  Guard(app_.Log(), "LogAuthorized", [&] {
    const std::string mode = ToUpper(Site("usesecurity"));
    const std::string client = request_ ? request_->ServerVariables("REMOTE_ADDR") : "";
    if (mode == "ENHANCED") {
      app_.Log().LogEvent("Unauthorized", user_name_ + " at " + client + " attempted to access " +
                                              std::string(page));
    } else if (mode == "BASIC") {
      app_.Log().LogEvent("Unauthorized", "Anonymous Guest at " + client + " attempted to access " +
                                              std::string(page));
    }
    if (!EqualsNoCase(page, "unauthorized.asp") && response_) {
      response_->Redirect("/unauthorized.asp");
    }
  });
}

std::string PageChrome::FormatCell(std::string_view text, std::string_view cls,
                                   std::string_view colspan, std::string_view align) const {
  std::string out;
  AppendCell(out, text, cls, colspan, align);
  return out;
}

void PageChrome::AppendCell(std::string& out, std::string_view text, std::string_view cls,
                            std::string_view colspan, std::string_view align) const {
  const bool header = EqualsNoCase(cls, "TABLEHEADER");
  const bool column = EqualsNoCase(cls, "TABLECOLUMN");
  const bool heading = header || column;
  out += "<td ";
  if (touch_screen_) {
    std::string_view color;
    if (column) color = "#31639C";
    if (header) color = "#63639C";
    if (EqualsNoCase(cls, "TABLEROWODD")) color = "#C0C0C0";
    if (EqualsNoCase(cls, "TABLEROWEVEN")) color = "#949494";
    if (!color.empty()) out.append("bgcolor=\"").append(color).append("\" ");
  } else {
    out.append("class=\"").append(cls).append("\" ");
  }
  if (!colspan.empty()) out.append("colspan=\"").append(colspan).append("\" ");
  if (!align.empty()) out.append("align=\"").append(align).append("\" ");
  if (header && text.find('<') == std::string_view::npos) {
    out += " onMouseOver=\"myPopup.startHelp('";
    for (char c : text) {
      if (c != ' ' && c != '\'' && c != '-') out += c;
    }
    out += "')\" onMouseOut=\"myPopup.clearHelp()\" ";
  }
  out += '>';
  if (touch_screen_) {
    out.append("<font face=\"Verdana, Arial, sans-serif\" size=\"2\" color=\"")
        .append(heading ? "#FFFFFF\"><b>" : "#000000\">")
        .append(text)
        .append(heading ? "</b></font>" : "</font>");
  } else {
    out.append(text);
  }
  out += "</td>";
}

std::string PageChrome::GetFile(std::string_view path) const {
  const auto file = Response::FindBelowRoot(html_root_, path);
  if (!file) return std::string(kNoFile);
  const auto text = ReadWholeFile(*file);
  if (!text || TrimSpaces(*text).empty()) return std::string(kNoFile);
  return *text;
}

std::string PageChrome::GetServerIP() {
  if (!request_) return server_host_;
  std::string host = request_->ServerVariables("Host");
  if (host.empty()) host = request_->ServerVariables("Referer");
  if (host.empty()) {
    const std::string raw = request_->header();
    for (std::string_view mark : {",host:", "Referer:"}) {
      const size_t at = FindNoCase(raw, mark);
      if (at != std::string::npos) {
        host = raw.substr(at + mark.size());
        break;
      }
    }
  }
  host = ReplaceAll(host, "http://", "");
  const size_t cut = host.find_first_of(":,/\r\n");
  if (cut != std::string::npos) host.resize(cut);
  server_host_ = std::string(TrimSpaces(host));
  return server_host_;
}

std::string PageChrome::fnPageName() const {
  if (!request_) return {};
  std::string path = ReplaceAll(request_->ServerVariables("PATH_INFO"), "/", "\\");
  if (path.empty()) path = ReplaceAll(request_->page(), "/", "\\");
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tagvane
