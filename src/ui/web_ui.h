// The user interface of the daemon, as pages of the built-in server (the
// data monitor, the setup page, the activity indicator and the menu in
// every page's header), the "Exit" command, the re-reading of the settings
// on SIGHUP, and the service manager's notifications. Installed behind UiPort.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/subsystems.h"
#include "ui/monitor_page.h"
#include "ui/service_manager.h"
#include "ui/setup_page.h"
#include "ui/tray_icon.h"

namespace tagvane {

class App;
class Request;
class Response;
class WebServer;

class WebUi final : public UiPort {
 public:
  // web may be null (no pages: tests of the indicator and the settings).
  WebUi(App& app, WebServer* web, ServiceManager::Sink sink = {});
  ~WebUi() override;

  void CreateMonitor() override;
  void ShowIndicator(const std::string& caption) override;
  void RemoveIndicator() override;
  void CloseWindows() override;

  // Hooks::SwapIcons.
  void SwapIcons() { indicator_.SwapIcons(); }
  // The orderly shut-down, exactly as SIGTERM runs it; from "Exit" the
  // link-closing flag is set first so the receiver is not reconnected.
  void OrderlyStop(bool from_exit);
  // SIGHUP: reads every setting again (ApplySettings) and says so.
  void ReloadSettings();
  // Reads every setting again into the running daemon, the indicator's tip
  // and the service manager's status included: the one path of SIGHUP and
  // the setup page's Close.
  void ApplySettings();

  ActivityIndicator& Indicator() { return indicator_; }
  MonitorPage& Monitor() { return monitor_; }
  SetupPage& Setup() { return setup_; }
  ServiceManager& Service() { return service_; }

 private:
  void ServeMonitor(Request& request, Response& response, int s);
  void ServeMonitorData(Request& request, Response& response);
  void ServeSetup(Request& request, Response& response, int s);
  void ServeExit(Request& request, Response& response, int s);
  // The status page's access check; false (after the refusal is sent)
  // when a protected mode gives this client too low a level.
  bool Allowed(Request& request, Response& response, std::string_view page);
  // The menu bar with the Exit form's page token.
  std::string MenuBar() const;
  // A finished page with the menu bar put in (the help page).
  std::string WithMenu(std::string page) const;
  // The page with the common chrome (head, logo bar, menu) around body.
  std::string Framed(Request& request, Response& response, const std::string& title,
                     const std::string& body);

  App& app_;
  WebServer* web_;
  ActivityIndicator indicator_;
  MonitorPage monitor_;
  SetupPage setup_;
  ServiceManager service_;
};

// The installed WebUi of app, nullptr when another UiPort is installed.
WebUi* InstalledUi(App& app);

}  // namespace tagvane
