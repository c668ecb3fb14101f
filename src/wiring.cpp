#include "wiring.h"

#include <memory>

#include "api/api_endpoint.h"
#include "core/app.h"
#include "database/reading_database.h"
#include "receiver/receiver_link.h"
#include "core/numbers.h"
#include "core/text.h"
#include "scripting/job_processes.h"
#include "scripting/script_host.h"
#include "receiver/rfid_device.h"
#include "ui/web_ui.h"
#include "mqtt/mqtt_service.h"
#include "receiver/tcp_link.h"
#include "web/api_access.h"
#include "web/web_server.h"
#include "xap/xap_service.h"

namespace tagvane {

void InstallSubsystems(App& app) {
  // Each subsystem replaces its do-nothing stand-in here as it is built.
  auto receiver = std::make_unique<ReceiverLink>(app);
  ReceiverLink* link = receiver.get();
  app.OffTimer().SetOnTick([link] { link->Presence().OffTimer_Timer(); });
  app.SetReceiver(std::move(receiver));
  XapService& xap = InstallXap(app);
  app.GetHooks().BSCQuery = [&xap](const std::string& target) { xap.Bsc().BSCQuery(target); };
  auto web = std::make_unique<WebServer>(app);
  WebServer* web_server = web.get();
  app.SetHttpServer(std::move(web));
  ScriptNetwork network;
  network.send_raw = [&xap](std::string_view text) { xap.Transport().SendRawXap(text); };
  network.sunrise = [&xap] { return xap.Incoming().SunriseText(); };
  network.sunset = [&xap] { return xap.Incoming().SunsetText(); };
  ScriptHost& scripts = InstallScripting(app, std::move(network));
  // Spawned jobs reach the daemon through its API on the port it listens on,
  // with a secret of this run (the APIToken itself stays out of their
  // environment, and without one they may still call every member).
  const std::string job_token = RandomToken();
  auto launcher = std::make_unique<ProcessJobLauncher>(
      app.Loop().Io(), app.Log(), RunnerBeside(app.ExePath()), [&app, web_server, job_token] {
        int port = web_server->Server().LocalPort();
        if (port <= 0) {
          port = ToInt32(LeadingNumber(
              RemoveQuotes(app.Ini().GetIniSetting("RFID", "HTTPPort", "8017", kSettingsFile))));
        }
        return MakeJobEnvironment(port, job_token, app.AppPath());
      });
  launcher->SetTimeLimit([&app] {
    return JobTimeLimitFrom(
        RemoveQuotes(app.Ini().GetIniSetting("RFID", "JobTimeLimit", "", kSettingsFile)));
  });
  scripts.SetJobLauncher(std::move(launcher));
  InstallApi(web_server->Server(), app, scripts, job_token);

  auto database = std::make_unique<ReadingDatabase>(app);
  ReadingDatabase* db = database.get();
  app.GetHooks().RecordReading = [db](const std::string& id, int16_t strength) {
    db->RecordReading(id, strength);
  };
  app.GetHooks().UpdateReadingTables = [db] { db->CreateRFIDTables(); };
  app.SetDatabase(std::move(database));
  auto ui = std::make_unique<WebUi>(app, web_server);
  WebUi* web_ui = ui.get();
  app.SetUi(std::move(ui));
  Hooks& hooks = app.GetHooks();
  hooks.SwapIcons = [web_ui] { web_ui->SwapIcons(); };
  // The terminal shows each accepted tag's turn On or Off as one line.
  hooks.SendXapBSC = [&app, send = hooks.SendXapBSC](const std::string& code,
                                                     const std::string& cls) {
    send(code, cls);
    if (cls != "xapbsc.event") return;
    const DevicePtr* device = app.Tables().DeviceTable.Find(code);
    if (!device || !*device) return;
    const std::string name = (*device)->Tag().empty() ? code : (*device)->Tag();
    app.Log().Echo(kProductSource, name + " " + StatusText((*device)->DeviceStatus()) + " (" +
                                       (*device)->Location() + ")");
  };
  app.SetMqtt(std::make_unique<MqttService>(app));
  // Figures other parts already count, read when /metrics is asked for.
  app.GetMetrics().AddCollector([link, db, &app](Metrics& m) {
    m.Set("tagvane_receiver_link_up",
          (link->TcpMode() ? link->SocketState() == TcpLink::kConnected : link->SerialOpen()) ? 1
                                                                                              : 0);
    m.Set("tagvane_receiver_reports_total", static_cast<double>(link->Parser().ReportsProcessed()));
    m.Set("tagvane_receiver_received_bytes_total",
          static_cast<double>(link->Parser().BytesReceived()));
    m.Set("tagvane_receiver_discarded_bytes_total",
          static_cast<double>(link->Parser().BytesDiscarded()));
    m.Set("tagvane_event_log_entries_total", static_cast<double>(app.Log().EntryCount()));
    m.Set("tagvane_database_rows_written_total", static_cast<double>(db->Written()));
    m.Set("tagvane_database_rows_buffered", static_cast<double>(db->Queued()));
    m.Set("tagvane_database_rows_dropped_total", static_cast<double>(db->Dropped()));
  });
}

}  // namespace tagvane
