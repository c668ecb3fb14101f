// The status page: the tag table with its presence text and edit fields,
// the display options, and on request the setup section and the xAP
// messages of interest; one form ("control") carries the edits back, and
// ClientRequest applies a posted form before the page is drawn again.
// Every value the page inserts is escaped, except the device snippets the
// program builds itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/fast_string.h"
#include "web/status_rows.h"

namespace tagvane {

class App;
class PageChrome;
class PageForms;
class Request;
class Response;

// Hidden fields that mark a posted form as carrying the setup section and
// the message-filter section.
inline constexpr std::string_view kSetupMarker =
    "<input type='hidden' name='SetupSection' value='1'>";
inline constexpr std::string_view kFilterMarker =
    "<input type='hidden' name='FilterSection' value='1'>";

class StatusPages {
 public:
  StatusPages(App& app, PageChrome& chrome, PageForms& forms);

  // Entry for every request whose path begins with /stat.
  std::string StatusPage(Request& request, Response& response);
  // Applies a posted form and draws the page ("" after the script button).
  std::string Status_ASP();
  void FormatScreen(FastString& page);
  void AddSetup(FastString& page);
  void AddFilter(FastString& page);
  void AddScriptButton(FastString& page);
  // The last script errors (time, file, procedure, line, message), newest
  // first; nothing when there are none.
  void AddScriptErrors(FastString& page);
  std::string FormatChangeTime(DateTime d) const;
  static std::string StripHTML(std::string_view s);

  // The posted form of the current request; true when the page is drawn.
  bool ClientRequest();
  void SaveFilterSettigs();

  const std::vector<StatusRow>& StatusRows() const { return rows_; }
  bool SetupShown() const { return setup_shown_; }
  bool MessagesShown() const { return messages_shown_; }

 private:
  void TagTable(FastString& page);
  void TagRow(FastString& page, StatusRow& row, const std::string& k);
  void SaveDisplayOptions();
  void SaveSetupFields();
  void SaveTagRecords();
  void SaveSort();
  std::string FormValue(std::string_view name) const;
  bool Posted(std::string_view name) const;
  void Save(std::string_view key, std::string_view value);

  App& app_;
  PageChrome& chrome_;
  PageForms& forms_;
  Request* request_ = nullptr;
  Response* response_ = nullptr;
  std::vector<StatusRow> rows_;
  std::string cell_text_;  // a row's cell, composed
  bool setup_shown_ = false;
  bool messages_shown_ = false;
  std::string last_sort_key_;
  std::string sort_key_ = "DCSort";
  std::string sort_direction_;
  DateTime today_{};
};

}  // namespace tagvane
