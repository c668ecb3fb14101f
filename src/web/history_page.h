// The history page /history?tag=NAME_OR_CODE[&hours=N|&from=..&to=..]:
// one tag's signal strength over the window as a line, its On and Off
// periods as bands under it (inline SVG drawn here), the window's turns as
// a table, and links for the last hour, 24 hours and 7 days. Without a tag
// it lists the tags to choose from. Served behind the page gate, inside the
// common chrome, every value escaped. The answer is sent when the reading
// database has answered, which may be after Serve has returned.
#pragma once

#include <string>

#include "database/history.h"
#include "web/history_query.h"

namespace tagvane {

class App;
class PageChrome;
class Request;
class Response;

class HistoryPage {
 public:
  static constexpr size_t kTurnRows = 100;

  HistoryPage(App& app, PageChrome& chrome) : app_(app), chrome_(chrome) {}

  void Serve(Request& request, Response& response);

  // The page content for a result (below the chrome).
  std::string Body(const HistoryAsk& ask, const HistoryResult& result, int hours) const;
  // The list of tags to choose from.
  std::string Chooser() const;

 private:
  std::string Head(Request& request, Response& response, const std::string& title);

  App& app_;
  PageChrome& chrome_;
  HistoryAsker asker_;
};

// The address of a tag's history page (the status page's rows link to it).
std::string HistoryHref(std::string_view tag, int hours = 0);

}  // namespace tagvane
