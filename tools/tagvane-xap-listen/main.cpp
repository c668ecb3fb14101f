// tagvane-xap-listen: joins the local xAP hub as a client and prints every
// message it receives, so the BSC events of the tags can be watched.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <iostream>

#include "core/clock.h"
#include "core/event_loop.h"
#include "core/logger.h"
#include "core/text.h"
#include "xap/xap_message.h"
#include "xap/xap_transport.h"

int main(int argc, char** argv) {
  CLI::App cli{"tagvane-xap-listen: prints the xAP messages the local hub relays."};
  int hub_port = 3639;
  std::string broadcast = "127.255.255.255";
  std::string interface_address = "127.0.0.1";
  std::string class_filter;
  bool heartbeats = false;
  int count = 0;
  cli.add_option("--hub-port", hub_port, "Port of the hub (default 3639)")
      ->check(CLI::Range(1, 65535));
  cli.add_option("--broadcast", broadcast,
                 "Address the heartbeat is sent to (default 127.255.255.255)");
  cli.add_option("--interface", interface_address,
                 "Interface pattern of the sending address (default 127.0.0.1)");
  cli.add_option("--class", class_filter, "Print only messages of this class (any case)");
  cli.add_flag("--heartbeats", heartbeats, "Print heartbeats too");
  cli.add_option("--count", count, "Exit after printing this many messages (0: never)");
  CLI11_PARSE(cli, argc, argv);

  tagvane::EventLoop loop;
  tagvane::SystemClock clock;
  const bool debug_log = false;
  tagvane::Logger log(clock, debug_log);
  tagvane::XapTransportOptions options;
  options.hub_port = static_cast<uint16_t>(hub_port);
  tagvane::XapTransport transport(loop.Io(), loop.Timers(), log, options);
  int printed = 0;
  transport.RegisterNewMessageCallback([&] {
    for (std::string text = transport.GetMessage(); !text.empty();
         text = transport.GetMessage()) {
      if (!class_filter.empty()) {
        tagvane::XapMessage message;
        message.FromXap(text);
        if (!message.CompareClass(class_filter)) continue;
      }
      std::cout << text << "----" << std::endl;
      if (count > 0 && ++printed >= count) loop.Stop();
    }
  });
  tagvane::XapTransportConfig config;
  config.source = "qbx.listen." + std::to_string(getpid());
  config.uid = "FF.0064:00";
  config.broadcast_address = broadcast;
  config.interface_address = interface_address;
  config.filter_heartbeats = !heartbeats;
  const int port = transport.Init(config);
  if (port <= 0) {
    std::cerr << "tagvane-xap-listen: cannot bind a private port (" << port << ")" << std::endl;
    return 1;
  }
  transport.SendHeartbeat(60);
  std::cerr << "tagvane-xap-listen: listening on 127.0.0.1:" << port << " via hub port "
            << hub_port << std::endl;
  asio::signal_set signals(loop.Io(), SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code&, int) { loop.Stop(); });
  loop.Run();
  return 0;
}
