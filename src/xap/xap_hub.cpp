#include "xap/xap_hub.h"

#include <algorithm>
#include <asio/ip/address_v4.hpp>

#include "core/numbers.h"
#include "core/text.h"
#include "xap/local_address.h"

namespace tagvane {

using asio::ip::udp;

std::optional<HeartbeatInfo> ParseHeartbeat(std::string_view datagram) {
  const size_t first_end = datagram.find('\n');
  if (!StartsWithNoCase(TrimSpaces(datagram.substr(0, first_end)), "xap-hbeat")) {
    return std::nullopt;
  }
  HeartbeatInfo info;
  bool has_interval = false;
  bool has_port = false;
  std::string cls;
  size_t start = first_end == std::string_view::npos ? datagram.size() : first_end + 1;
  while (start < datagram.size()) {
    size_t end = datagram.find('\n', start);
    if (end == std::string_view::npos) end = datagram.size();
    std::string_view line = datagram.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == "}") break;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key = ToLower(TrimSpaces(line.substr(0, eq)));
    const std::string_view value = TrimSpaces(line.substr(eq + 1));
    if (key == "class") {
      cls = ToLower(value);
    } else if (key == "source") {
      info.source = std::string(value);
    } else if (key == "interval" && IsNumeric(value)) {
      has_interval = true;
      const double v = LeadingNumber(value);
      info.interval_seconds = v > 86400 ? 86400 : v < 0 ? 0 : static_cast<int>(v);
    } else if (key == "port" && IsNumeric(value)) {
      const double v = LeadingNumber(value);
      if (v >= 1 && v <= 65535) {
        has_port = true;
        info.port = static_cast<int>(v);
      }
    }
  }
  if (!has_interval || !has_port) return std::nullopt;
  info.stop = cls == "xap-hbeat.stop";
  return info;
}

struct XapHub::Listener {
  explicit Listener(asio::io_context& io) : socket(io) {}
  udp::socket socket;
  std::vector<char> buffer;
  udp::endpoint sender;
  std::string name;
};

XapHub::XapHub(asio::io_context& io, const Clock& clock, XapHubOptions options)
    : clock_(clock),
      options_(std::move(options)),
      io_(io),
      relay_socket_(io),
      alive_(std::make_shared<bool>(true)) {
  if (!options_.local_addresses) options_.local_addresses = ListInterfaceAddresses;
}

XapHub::~XapHub() {
  *alive_ = false;
  Stop();
}

bool XapHub::Start(std::string* error) {
  std::vector<std::string> addresses = options_.bind_addresses;
  if (addresses.empty()) {
    addresses.push_back("0.0.0.0");
  } else {
    for (size_t i = 0, n = addresses.size(); i < n; ++i) {
      const std::string broadcast = BroadcastAddressOf(addresses[i]);
      if (!broadcast.empty() &&
          std::find(addresses.begin(), addresses.end(), broadcast) == addresses.end()) {
        addresses.push_back(broadcast);
      }
    }
  }
  std::error_code ec;
  for (const std::string& text : addresses) {
    const asio::ip::address_v4 address = asio::ip::make_address_v4(text, ec);
    if (ec) {
      if (error) *error = text + " is not an IPv4 address";
      Stop();
      return false;
    }
    auto listener = std::make_shared<Listener>(io_);
    listener->name = text + ":" + std::to_string(options_.port);
    listener->socket.open(udp::v4(), ec);
    if (!ec) listener->socket.set_option(asio::socket_base::broadcast(true), ec);
    if (!ec) listener->socket.bind(udp::endpoint(address, options_.port), ec);
    if (ec) {
      if (error) *error = "cannot bind " + listener->name + ": " + ec.message();
      Stop();
      return false;
    }
    listener->buffer.resize(options_.max_datagram);
    listeners_.push_back(listener);
    Say("listening on " + listener->name);
  }
  relay_socket_.open(udp::v4(), ec);
  if (ec) {
    if (error) *error = "cannot open the relay socket: " + ec.message();
    Stop();
    return false;
  }
  for (const auto& listener : listeners_) Receive(listener);
  return true;
}

void XapHub::Stop() {
  std::error_code ec;
  for (const auto& listener : listeners_) listener->socket.close(ec);
  listeners_.clear();
  relay_socket_.close(ec);
}

std::vector<uint16_t> XapHub::ClientPorts() const {
  std::vector<uint16_t> ports;
  const DateTime now = clock_.Now();
  for (const auto& [port, expiry] : clients_) {
    if (expiry > now) ports.push_back(port);
  }
  return ports;
}

void XapHub::Receive(const std::shared_ptr<Listener>& listener) {
  std::weak_ptr<bool> alive = alive_;
  listener->socket.async_receive_from(
      asio::buffer(listener->buffer), listener->sender,
      [this, alive, listener](const std::error_code& ec, size_t bytes) {
        const auto token = alive.lock();
        if (!token || !*token || !listener->socket.is_open()) return;
        if (!ec) {
          Handle(std::string_view(listener->buffer.data(), bytes), listener->sender);
          if (on_datagram_) on_datagram_();
        }
        if (ec != asio::error::operation_aborted) Receive(listener);
      });
}

bool XapHub::FromThisHost(const asio::ip::address& address) const {
  if (address.is_loopback()) return true;
  const std::string text = address.to_string();
  for (const std::string& local : options_.local_addresses()) {
    if (local == text) return true;
  }
  return false;
}

void XapHub::Handle(std::string_view datagram, const udp::endpoint& sender) {
  ++received_;
  ExpireClients();
  if (const auto beat = ParseHeartbeat(datagram)) {
    if (!FromThisHost(sender.address())) {
      Say("heartbeat of " + beat->source + " from " + sender.address().to_string() +
          " is not from this host; not registered");
    } else if (beat->stop) {
      if (clients_.erase(static_cast<uint16_t>(beat->port))) {
        Say("client " + std::to_string(beat->port) + " (" + beat->source + ") stopped");
      }
    } else {
      // A heartbeat that announces no interval still keeps its sender for
      // two minutes, the usual period of a hub client.
      const int interval = beat->interval_seconds > 0 ? beat->interval_seconds : 60;
      const bool fresh = !clients_.count(static_cast<uint16_t>(beat->port));
      clients_[static_cast<uint16_t>(beat->port)] =
          clock_.Now() + std::chrono::seconds(2 * interval);
      if (fresh) {
        Say("client " + std::to_string(beat->port) + " (" + beat->source + ") registered, interval " +
            std::to_string(beat->interval_seconds) + " s");
      }
    }
  }
  if (!relay_socket_.is_open()) return;
  const asio::ip::address_v4 loopback = asio::ip::address_v4::loopback();
  std::error_code ec;
  for (const auto& [port, expiry] : clients_) {
    relay_socket_.send_to(asio::buffer(datagram.data(), datagram.size()),
                          udp::endpoint(loopback, port), 0, ec);
    if (!ec) ++relayed_;
  }
  if (options_.verbose) {
    const size_t end = datagram.find('\n');
    Say("relayed " + std::to_string(datagram.size()) + " bytes from " +
        sender.address().to_string() + ":" + std::to_string(sender.port()) + " (" +
        std::string(TrimSpaces(datagram.substr(0, std::min<size_t>(end, 40)))) + ") to " +
        std::to_string(clients_.size()) + " client(s)");
  }
}

void XapHub::ExpireClients() {
  const DateTime now = clock_.Now();
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (it->second <= now) {
      Say("client " + std::to_string(it->first) + " expired");
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void XapHub::Say(const std::string& text) const {
  if (options_.verbose) *options_.verbose << "tagvane-hub: " << text << std::endl;
}

}  // namespace tagvane
