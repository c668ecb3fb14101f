// tagvane-hub: a small xAP hub for machines that have none. Relays every
// datagram it receives on the xAP port to the clients on this host that
// announce their port in heartbeats.
#include <CLI/CLI.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <iostream>

#include "core/clock.h"
#include "core/event_loop.h"
#include "xap/xap_hub.h"

int main(int argc, char** argv) {
  CLI::App cli{"tagvane-hub: relays xAP messages to the hub clients on this host."};
  int port = 3639;
  std::vector<std::string> bind;
  bool verbose = false;
  cli.add_option("--port", port, "UDP port to listen on (default 3639)")->check(CLI::Range(1, 65535));
  cli.add_option("--bind", bind,
                 "Address to listen on; repeat for more (default: every local address). "
                 "Each address is joined by its network's broadcast address.");
  cli.add_flag("--verbose,-v", verbose, "Print every registration, expiry and relay");
  CLI11_PARSE(cli, argc, argv);

  tagvane::EventLoop loop;
  tagvane::SystemClock clock;
  tagvane::XapHubOptions options;
  options.port = static_cast<uint16_t>(port);
  options.bind_addresses = bind;
  options.verbose = verbose ? &std::cout : nullptr;
  tagvane::XapHub hub(loop.Io(), clock, options);
  std::string error;
  if (!hub.Start(&error)) {
    std::cerr << "tagvane-hub: " << error << std::endl;
    return 1;
  }
  asio::signal_set signals(loop.Io(), SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code&, int) { loop.Stop(); });
  std::cout << "tagvane-hub: ready on port " << port << std::endl;
  loop.Run();
  return 0;
}
