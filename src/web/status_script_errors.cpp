// The status page's list of the last script errors, drawn under the script
// buttons when there is at least one, so a script author sees them without
// the trace file or the terminal.
#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/logger.h"
#include "web/html_escape.h"
#include "web/page_chrome.h"
#include "web/status_page.h"

namespace tagvane {

void StatusPages::AddScriptErrors(FastString& page) {
  Guard(app_.Log(), "AddScriptErrors", [&] {
    const auto errors = app_.ScriptHost().RecentErrors();
    if (errors.empty()) return;
    page.Add("<Table width='550' border='5' frame='box' id='script-errors'><tr>")
        .Add(chrome_.FormatCell("Recent Script Errors", "TABLEHEADER", "5", "Center"))
        .Add("</tr><tr>");
    for (const char* title : {"Time", "File", "Procedure", "Line", "Message"}) {
      page.Add(chrome_.FormatCell(title, "TABLEHEADER", "1", "Center"));
    }
    page.Add("</tr>");
    // Newest first; every text came from a script and is escaped.
    for (auto it = errors.rbegin(); it != errors.rend(); ++it) {
      page.Add("<tr>")
          .Add(chrome_.FormatCell(FormatGeneralDate(it->time), "TABLEROWEVEN", "1", "Left"))
          .Add(chrome_.FormatCell(EscapeHtml(it->file), "TABLEROWEVEN", "1", "Left"))
          .Add(chrome_.FormatCell(EscapeHtml(it->procedure), "TABLEROWEVEN", "1", "Left"))
          .Add(chrome_.FormatCell(std::to_string(it->line), "TABLEROWEVEN", "1", "Right"))
          .Add(chrome_.FormatCell(EscapeHtml(it->message), "TABLEROWEVEN", "1", "Left"))
          .Add("</tr>");
    }
    page.Add("</table>");
  });
}

}  // namespace tagvane
