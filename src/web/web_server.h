// The built-in web server as the App sees it: the connection server with
// the status page and its chrome behind it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/subsystems.h"
#include "web/page_chrome.h"
#include "web/page_forms.h"
#include "web/status_page.h"
#include "web/tcp_server.h"

namespace tagvane {

class App;

class WebServer final : public HttpServerPort {
 public:
  explicit WebServer(App& app);
  ~WebServer() override;

  void StartServer() override;
  void Close() override;

  TCPServer& Server() { return server_; }
  StatusPages* Pages() { return pages_.get(); }
  // The chrome of every page; nullptr until the server has started.
  PageChrome* Chrome() { return chrome_.get(); }
  void SetHeaderExtra(std::function<std::string()> extra);
  // The guard of the pages' posts (tokens, origin, stale pages).
  PageForms& Forms() { return forms_; }

 private:
  App& app_;
  TCPServer server_;
  PageForms forms_;
  std::unique_ptr<PageChrome> chrome_;
  std::unique_ptr<StatusPages> pages_;
  std::function<std::string()> header_extra_;
};

}  // namespace tagvane
