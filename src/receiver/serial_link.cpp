#include "receiver/serial_link.h"

#include <asio/write.hpp>
#include <stdexcept>

#include "core/numbers.h"

namespace tagvane {

std::string SerialDevicePath(const std::string& port) {
  if (!port.empty() && port.front() == '/') return port;
  if (!IsNumeric(port)) throw std::invalid_argument("Invalid port number " + port);
  const int16_t n = ToInt16(LeadingNumber(port));
  if (n < 1) throw std::invalid_argument("Invalid port number " + port);
  return "/dev/ttyS" + std::to_string(n - 1);
}

SerialLink::SerialLink(asio::io_context& io) : port_(io), alive_(std::make_shared<bool>(true)) {}

SerialLink::~SerialLink() {
  *alive_ = false;
  std::error_code ignored;
  port_.close(ignored);
}

void SerialLink::SetHandlers(DataHandler on_data, LostHandler on_lost) {
  on_data_ = std::move(on_data);
  on_lost_ = std::move(on_lost);
}

bool SerialLink::Open(const std::string& path, std::string& error) {
  if (port_.is_open()) return true;
  std::error_code ec;
  port_.open(path, ec);
  if (!ec) port_.set_option(asio::serial_port::baud_rate(9600), ec);
  if (!ec) port_.set_option(asio::serial_port::character_size(8), ec);
  if (!ec) port_.set_option(asio::serial_port::parity(asio::serial_port::parity::none), ec);
  if (!ec) port_.set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one), ec);
  if (!ec) {
    port_.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none), ec);
  }
  if (ec) {
    error = ec.message();
    std::error_code ignored;
    port_.close(ignored);
    return false;
  }
  path_ = path;
  ++generation_;
  ReadMore();
  return true;
}

void SerialLink::Close() {
  ++generation_;
  std::error_code ignored;
  port_.close(ignored);
}

bool SerialLink::Write(std::string_view bytes) {
  if (!port_.is_open()) return false;
  std::error_code ec;
  asio::write(port_, asio::buffer(bytes.data(), bytes.size()), ec);
  return !ec;
}

void SerialLink::ReadMore() {
  std::weak_ptr<bool> alive = alive_;
  const uint64_t generation = generation_;
  port_.async_read_some(asio::buffer(buffer_), [this, alive, generation](
                                                   const std::error_code& ec, size_t n) {
    auto token = alive.lock();
    if (!token || !*token || generation != generation_) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      Close();
      if (on_lost_) on_lost_(ec.message());
      return;
    }
    // The handler may close or reopen the port; read again only when this
    // opening is still the current one.
    if (on_data_) on_data_(std::string_view(buffer_.data(), n));
    if (generation == generation_ && port_.is_open()) ReadMore();
  });
}

}  // namespace tagvane
