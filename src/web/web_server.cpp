#include "web/web_server.h"

#include "core/app.h"
#include "core/logger.h"

namespace tagvane {

WebServer::WebServer(App& app) : app_(app), server_(app), forms_(app) {
  server_.SetStatusPage([this](Request& request, Response& response) {
    return pages_ ? pages_->StatusPage(request, response) : std::string();
  });
}

WebServer::~WebServer() = default;

void WebServer::StartServer() {
  server_.StartServer();
  if (!chrome_) {
    chrome_ = std::make_unique<PageChrome>(app_, server_.HtmlRoot());
    pages_ = std::make_unique<StatusPages>(app_, *chrome_, forms_);
    chrome_->SetHeaderExtra(header_extra_);
  }
  if (server_.LocalPort() > 0) {
    chrome_->SetHttpPort(std::to_string(server_.LocalPort()));
    app_.Log().LogEvent(kProductSource, "Status page at http://localhost:" +
                                            std::to_string(server_.LocalPort()) + "/status");
  }
}

void WebServer::SetHeaderExtra(std::function<std::string()> extra) {
  header_extra_ = std::move(extra);
  if (chrome_) chrome_->SetHeaderExtra(header_extra_);
}

void WebServer::Close() { server_.Close(); }

}  // namespace tagvane
