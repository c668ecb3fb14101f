#include "wiring.h"

#include <memory>

#include "core/app.h"
#include "database/reading_database.h"
#include "receiver/receiver_link.h"
#include "scripting/script_host.h"
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
  app.SetHttpServer(std::make_unique<WebServer>(app));
  ScriptNetwork network;
  network.send_raw = [&xap](std::string_view text) { xap.Transport().SendRawXap(text); };
  network.sunrise = [&xap] { return xap.Incoming().SunriseText(); };
  network.sunset = [&xap] { return xap.Incoming().SunsetText(); };
  InstallScripting(app, std::move(network));

  auto database = std::make_unique<ReadingDatabase>(app);
  ReadingDatabase* db = database.get();
  app.GetHooks().RecordReading = [db](const std::string& id, int16_t strength) {
    db->RecordReading(id, strength);
  };
  app.GetHooks().UpdateReadingTables = [db] { db->CreateRFIDTables(); };
  app.SetDatabase(std::move(database));
}

}  // namespace tagvane
