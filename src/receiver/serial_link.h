// The serial side of the receiver link: one asio::serial_port at 9600 8N1
// without flow control, reading whatever arrives and reporting when the
// device goes away (a USB receiver unplugged, a pseudo-terminal closed).
#pragma once

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tagvane {

class SerialLink {
 public:
  using DataHandler = std::function<void(std::string_view)>;
  using LostHandler = std::function<void(const std::string& reason)>;

  explicit SerialLink(asio::io_context& io);
  ~SerialLink();

  void SetHandlers(DataHandler on_data, LostHandler on_lost);

  // Opens and configures the device; on failure returns false with the
  // reason in error and leaves the port closed.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return port_.is_open(); }
  const std::string& Path() const { return path_; }
  void Close();
  // Writes all bytes (a few at a time in practice); false when it failed.
  bool Write(std::string_view bytes);

 private:
  void ReadMore();

  asio::serial_port port_;
  std::string path_;
  std::array<char, 4096> buffer_{};
  DataHandler on_data_;
  LostHandler on_lost_;
  std::shared_ptr<bool> alive_;
  uint64_t generation_ = 0;
};

// The device path of a serial port setting: "/..." as it stands, a number n
// as /dev/ttyS<n-1>. Throws std::invalid_argument for anything else.
std::string SerialDevicePath(const std::string& port);

}  // namespace tagvane
