#include "ui/web_ui.h"

#include <asio/post.hpp>

#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "ui/menu_bar.h"
#include "web/page_answer.h"
#include "web/api_access.h"
#include "web/html_escape.h"
#include "web/page_chrome.h"
#include "web/page_forms.h"
#include "web/request.h"
#include "web/response.h"
#include "web/web_server.h"

namespace tagvane {

WebUi::WebUi(App& app, WebServer* web, ServiceManager::Sink sink)
    : app_(app),
      web_(web),
      indicator_(app.Timers()),
      monitor_(app, indicator_),
      setup_(app, [this] { ApplySettings(); }),
      service_(app, std::move(sink)) {
  if (!web_) return;
  web_->SetHeaderExtra([this] { return MenuBar(); });
  TCPServer& server = web_->Server();
  server.AddPage("/monitor", [this](Request& q, Response& r, int s) { ServeMonitor(q, r, s); });
  server.AddPage("/monitor/data", [this](Request& q, Response& r, int) { ServeMonitorData(q, r); });
  server.AddPage("/setup", [this](Request& q, Response& r, int s) { ServeSetup(q, r, s); });
  server.AddPage("/exit", [this](Request& q, Response& r, int s) { ServeExit(q, r, s); });
  server.AddPage("/help", [this](Request&, Response& r, int s) {
    r.SendTextString(WithMenu(web_->Server().HelpPage()), s);
  });
  server.AddPage("/indicator", [this](Request&, Response& r, int) {
    SendAnswer(r, 200, "application/json", IndicatorJson(indicator_));
  });
}

WebUi::~WebUi() {
  // Nothing may reach this object once it is gone.
  if (app_.GetHooks().SwapIcons) app_.GetHooks().SwapIcons = [] {};
  if (web_) web_->SetHeaderExtra({});
}

void WebUi::CreateMonitor() { monitor_.Close(); }

void WebUi::ShowIndicator(const std::string& caption) {
  indicator_.SetUp(caption);
  Guard(app_.Log(), "ServiceManager", [&] { service_.Start(); });
}

void WebUi::RemoveIndicator() {
  service_.Stopping();
  indicator_.Remove();
}

void WebUi::CloseWindows() { monitor_.Close(); }

void WebUi::OrderlyStop(bool from_exit) {
  if (from_exit) app_.State().LinkClosing = true;
  if (app_.ShutDownStarted()) return;
  service_.Stopping();
  app_.Shutdown();
  app_.Loop().Stop();
}

void WebUi::ApplySettings() {
  app_.InitIniKeys();
  Guard(app_.Log(), "ApplySettings", [&] {
    indicator_.SetCaption("RFID " + app_.GetSettings().receiverlocation);
    service_.CheckStatus();
  });
}

void WebUi::ReloadSettings() {
  Guard(app_.Log(), "ReloadSettings", [&] {
    ApplySettings();
    app_.Log().LogEvent(kProductSource, "Settings read again from " + std::string(kSettingsFile));
  });
}

bool WebUi::Allowed(Request& request, Response& response, std::string_view page) {
  PageChrome* chrome = web_->Chrome();
  if (!chrome) return true;
  bool allowed = true;
  chrome->SetCurrent(&request, &response);
  chrome->StartMiscFunctionsASP();
  chrome->SecurityCheck();
  const std::string mode = ToUpper(chrome->Site("usesecurity"));
  if ((mode == "ENHANCED" || mode == "BASIC") && chrome->SecurityLevel() < 10) {
    allowed = false;
    chrome->LogAuthorized(page);
  }
  chrome->SetCurrent(nullptr, nullptr);
  return allowed;
}

std::string WebUi::Framed(Request& request, Response& response, const std::string& title,
                          const std::string& body) {
  PageChrome* chrome = web_->Chrome();
  if (!chrome) return "<html><body>" + body + "</body></html>";
  std::string page;
  Guard(app_.Log(), "UiPage", [&] {
    const Settings& settings = app_.GetSettings();
    chrome->SetCurrent(&request, &response);
    chrome->StartMiscFunctionsASP();
    chrome->StartHeaderASP();
    page = chrome->CustomHeader({EscapeHtml(title), "", settings.Background, "x",
                                 settings.StyleSheet});
  });
  chrome->SetCurrent(nullptr, nullptr);
  return page + body + "</body></html>";
}

void WebUi::ServeMonitor(Request& request, Response& response, int s) {
  if (!Allowed(request, response, "monitor")) return;
  PageForms& forms = web_->Forms();
  if (request.Method().starts_with("POST") && !request.Form("monitorform").empty()) {
    if (!forms.Admit(request, response, PageForm::kMonitor, false, "monitor")) return;
    monitor_.Apply(request);
  }
  response.SendTextString(Framed(request, response, "Data Monitor",
                                 monitor_.Body(forms.HiddenField(PageForm::kMonitor))),
                          s);
}

void WebUi::ServeMonitorData(Request& request, Response& response) {
  SendAnswer(response, 200, "application/json",
             monitor_.DataJson(request.QueryString("since")));
}

void WebUi::ServeSetup(Request& request, Response& response, int s) {
  if (!Allowed(request, response, "setup")) return;
  PageForms& forms = web_->Forms();
  const bool close = request.Method().starts_with("POST") && !request.Form("Close").empty();
  if (close) {
    // A page drawn before the last save would undo it.
    if (!forms.Admit(request, response, PageForm::kSetup, true, "setup")) return;
    setup_.Close(SetupPage::FromForm(request));
    forms.Saved();
  }
  response.SendTextString(
      Framed(request, response, "Setup",
             setup_.Body(setup_.LoadBoxes(), close, forms.HiddenField(PageForm::kSetup))),
      s);
}

void WebUi::ServeExit(Request& request, Response& response, int s) {
  if (!request.Method().starts_with("POST")) {
    // A link preview or a crawler must never stop the daemon.
    SendAnswer(response, 405, "text/html",
               "<html><body>Exit works from the menu's button only.</body></html>");
    return;
  }
  if (!ApiAccessAllowed(app_.Ini(), request.ServerVariables("REMOTE_ADDR"),
                        request.ServerVariables("Authorization"))) {
    app_.Log().LogEvent("Unauthorized", request.ServerVariables("REMOTE_ADDR") +
                                            " attempted to access exit");
    SendAnswer(response, 403, "text/html", "<html><body>Forbidden</body></html>");
    return;
  }
  if (!Allowed(request, response, "exit")) return;
  if (!web_->Forms().Admit(request, response, PageForm::kExit, false, "exit")) return;
  if (!EqualsNoCase(request.Form("confirmed"), "yes")) {
    SendAnswer(response, 400, "text/html",
               "<html><body><p>Exit was not confirmed: nothing was stopped. Use the menu's Exit "
               "button and confirm.</p></body></html>");
    return;
  }
  app_.Log().LogEvent(kProductSource, "Exit requested from the menu by " +
                                          request.ServerVariables("REMOTE_ADDR"));
  SendAnswer(response, 200, "text/html",
             "<html><head><title>Tagvane stopped</title></head><body><p>Tagvane is "
             "stopping; the tag table and the settings are saved.</p></body></html>");
  // The answer leaves first; the shut-down runs on the next turn of the loop.
  asio::post(app_.Loop().Io(), [this, s] {
    TCPServer& server = web_->Server();
    for (int i = 0; i < 50 && server.State(s) == TCPServer::kStateConnected; ++i) app_.Loop().PumpFor(Milliseconds(20));
    OrderlyStop(true);
  });
}

std::string WebUi::WithMenu(std::string page) const {
  // After the body tag when there is one, else in front.
  size_t at = FindNoCase(page, "<body");
  at = at == std::string::npos ? 0 : page.find('>', at);
  at = at == std::string::npos ? 0 : at + 1;
  page.insert(at, MenuBar());
  return page;
}

std::string WebUi::MenuBar() const {
  return MenuBarHtml(indicator_, web_ ? web_->Forms().HiddenField(PageForm::kExit) : "");
}

WebUi* InstalledUi(App& app) { return dynamic_cast<WebUi*>(&app.Ui()); }

}  // namespace tagvane
