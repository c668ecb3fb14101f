#include "wiring.h"

#include <memory>

#include "core/app.h"
#include "mqtt/mqtt_service.h"
#include "receiver/receiver_link.h"
#include "receiver/tcp_link.h"
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
  app.SetMqtt(std::make_unique<MqttService>(app));
  // Figures other parts already count, read when /metrics is asked for.
  app.GetMetrics().AddCollector([link, &app](Metrics& m) {
    m.Set("tagvane_receiver_link_up",
          (link->TcpMode() ? link->SocketState() == TcpLink::kConnected : link->SerialOpen()) ? 1
                                                                                              : 0);
    m.Set("tagvane_receiver_reports_total", static_cast<double>(link->Parser().ReportsProcessed()));
    m.Set("tagvane_receiver_received_bytes_total",
          static_cast<double>(link->Parser().BytesReceived()));
    m.Set("tagvane_receiver_discarded_bytes_total",
          static_cast<double>(link->Parser().BytesDiscarded()));
    m.Set("tagvane_event_log_entries_total", static_cast<double>(app.Log().EntryCount()));
  });
}

}  // namespace tagvane
