// The receiver link on real descriptors: a pseudo-terminal for the serial
// receiver (unplugged and plugged back), a loopback TCP bridge that drops
// the connection, refuses it for a while and comes back.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "core/app.h"
#include "receiver/receiver_link.h"
#include "receiver/rfid_device.h"
#include "support/app_options.h"
#include "support/test_support.h"

namespace tagvane::test {
namespace {

using std::chrono::milliseconds;

// Runs the loop until pred holds; false when it never does (a generous
// bound that only guards against a hang).
bool RunUntil(App& app, const std::function<bool()>& pred) {
  return PumpUntil(pred, [&] { app.Loop().PumpFor(milliseconds(20)); }, std::chrono::seconds(30));
}

struct LinkBed {
  explicit LinkBed(bool load = true) : app(Options()) {
    app.InitXap();
    auto owned = std::make_unique<ReceiverLink>(app);
    link = owned.get();
    app.SetReceiver(std::move(owned));
    if (load) link->LoadDevices();
  }
  AppOptions Options() {
    return test::TestAppOptions(dir.Path());
  }
  DevicePtr Device(const std::string& id) {
    DevicePtr* d = app.Tables().DeviceTable.Find("____________" + id);
    return d ? *d : nullptr;
  }
  size_t CountLogStarting(const std::string& prefix) {
    size_t n = 0;
    for (const auto& e : app.Log().Recent()) n += e.text.rfind(prefix, 0) == 0;
    return n;
  }
  TempDir dir;
  App app;
  ReceiverLink* link = nullptr;
};

// A pseudo-terminal whose slave is reachable under a fixed link name, as a
// USB receiver's stable device name is.
struct FakeSerialReceiver {
  explicit FakeSerialReceiver(const std::filesystem::path& link_path) : path(link_path) {
    int slave = -1;
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::filesystem::remove(path);
    std::filesystem::create_symlink(ttyname(slave), path);
    close(slave);
  }
  ~FakeSerialReceiver() { Unplug(); }
  void Unplug() {
    if (master >= 0) close(master);
    master = -1;
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  void Send(const std::string& s) const {
    EXPECT_EQ(write(master, s.data(), s.size()), ssize_t(s.size()));
  }
  std::string Receive(size_t n) const {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      const ssize_t r = read(master, out.data() + got, n - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  std::filesystem::path path;
  int master = -1;
};

TEST(ReceiverLink, SerialReceiverOnAPseudoTerminalUnpluggedAndBack) {
  LinkBed bed;
  const auto port_path = bed.dir / "ttyRFID";
  auto receiver = std::make_unique<FakeSerialReceiver>(port_path);
  bed.app.GetSettings().RFIDPort = port_path.string();
  ASSERT_TRUE(bed.link->InitCommPort(bed.app.GetSettings().RFIDPort));
  bed.app.State().SerialPortOpen = true;
  EXPECT_FALSE(bed.link->TcpMode());
  EXPECT_EQ(bed.link->Monitor()->aOpenStatus, "Port Open / 0 tries");
  bed.link->SendToReceiver(std::string("\xF0\x29", 2));
  EXPECT_EQ(receiver->Receive(2), std::string("\xF0\x29", 2));
  receiver->Send("1A2B87 3C4D");
  receiver->Send("5 ");
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.Device("3C4D") != nullptr; }));
  EXPECT_EQ(bed.Device("1A2B")->Strength(), 87);
  EXPECT_EQ(bed.Device("3C4D")->Strength(), 5);

  receiver->Unplug();
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.link->Retrying(); }));
  EXPECT_EQ(bed.link->Monitor()->aOpenStatus, "Port Not Connected");
  // Several failed retries, one entry for the whole outage.
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.link->ConnectTries() >= 2; }));
  EXPECT_EQ(bed.CountLogStarting("RFID Comm Port " + port_path.string() + " lost"), 1u);

  receiver.reset();
  receiver = std::make_unique<FakeSerialReceiver>(port_path);
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.app.State().SerialPortOpen; }));
  EXPECT_EQ(receiver->Receive(2), std::string("\xF0\x29", 2)) << "greeted again";
  receiver->Send("1A2B42 ");
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.Device("1A2B")->Strength() == 42; }));
  EXPECT_EQ(bed.CountLogStarting("RFID Comm Port " + port_path.string() + " lost"), 1u);
  bed.app.State().LinkClosing = true;
  bed.link->Close();
}

TEST(ReceiverLink, SerialPortThatIsNotThereIsRetriedUntilItAppears) {
  LinkBed bed;
  const auto port_path = bed.dir / "ttyLater";
  bed.app.GetSettings().RFIDPort = port_path.string();
  EXPECT_FALSE(bed.link->InitCommPort(port_path.string()));
  EXPECT_EQ(bed.CountLogStarting("Error Opening RFID Comm Port number  "), 2u);
  bed.link->InitRFID();
  EXPECT_TRUE(bed.link->Retrying());
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.link->ConnectTries() >= 2; }));
  FakeSerialReceiver receiver(port_path);
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.app.State().SerialPortOpen; }));
  EXPECT_EQ(bed.CountLogStarting("RFID receiver on port"), 1u);
  EXPECT_EQ(bed.link->Monitor()->aOpenStatus.rfind("Port Open / ", 0), 0u);
  bed.app.State().LinkClosing = true;
  bed.link->Close();
}

TEST(ReceiverLink, DataBeforeTheTagTableIsLoadedWaitsForIt) {
  LinkBed bed(false);
  WriteFile(bed.dir / "Config/Tagvane.ini",
            "[RFIDUnits]\r\n____________1A2B=____________1A2B~2~Keys~False~~Hall~01~False~"
            "False~False~10~~Switch~True~1~1~100~0~0~0\r\n");
  const auto port_path = bed.dir / "ttyEarly";
  FakeSerialReceiver receiver(port_path);
  bed.app.GetSettings().RFIDPort = port_path.string();
  ASSERT_TRUE(bed.link->InitCommPort(port_path.string()));
  receiver.Send("1A2B87 ");
  for (int i = 0; i < 20; ++i) bed.app.Loop().PumpFor(milliseconds(5));
  EXPECT_TRUE(bed.app.Tables().DeviceTable.empty());
  bed.link->LoadDevices();
  ASSERT_TRUE(bed.Device("1A2B"));
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.Device("1A2B")->Strength() == 87; }));
  EXPECT_EQ(bed.Device("1A2B")->Tag(), "Keys");
  EXPECT_TRUE(bed.Device("1A2B")->InUse());
  EXPECT_EQ(bed.app.Tables().DeviceTable.size(), 1u);
  bed.app.State().LinkClosing = true;
  bed.link->Close();
}

TEST(ReceiverLink, NoPortMeansNoReceiverAndAPortThatCanNeverOpenIsNotRetried) {
  for (const char* none : {"", " ", "0"}) {
    LinkBed bed;
    bed.app.GetSettings().RFIDPort = none;
    bed.link->InitRFID();
    EXPECT_FALSE(bed.link->Retrying()) << "'" << none << "'";
    EXPECT_TRUE(bed.app.Log().Recent().empty()) << "'" << none << "'";
  }
  LinkBed bed;
  EXPECT_FALSE(bed.link->OpenCommPort("abc"));
  EXPECT_EQ(bed.CountLogStarting("OpenCommPort abc Line "), 1u);
  EXPECT_EQ(bed.link->Monitor()->aOpenStatus, "Port Not Connected");
  EXPECT_EQ(SerialDevicePath("3"), "/dev/ttyS2");
  // A port text that can never open is not retried.
  bed.app.GetSettings().RFIDPort = "COM3";
  bed.link->InitRFID();
  EXPECT_FALSE(bed.link->Retrying());
  EXPECT_EQ(bed.CountLogStarting("RFID receiver port COM3 is not a port number"), 1u);
}

TEST(TcpLink, ConnectsByNameAndProbesASilentBridge) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket peer(io);
  acceptor.async_accept(peer, [](const std::error_code&) {});
  TcpLink link(io);
  bool connected = false;
  TcpLink::Handlers handlers;
  handlers.on_connect = [&] { connected = true; };
  link.SetHandlers(handlers);
  // "localhost" may stand for ::1 first; every address is tried.
  link.StartConnect("localhost", acceptor.local_endpoint().port());
  EXPECT_EQ(link.State(), TcpLink::kConnecting);
  ASSERT_TRUE(PumpUntil([&] { return connected; }, [&] { io.run_one_for(milliseconds(20)); }));
  const int fd = link.NativeHandle();
  int value = 0;
  socklen_t len = sizeof value;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len), 0);
  EXPECT_EQ(value, 1);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &len), 0);
  EXPECT_EQ(value, TcpLink::kKeepAliveIdleSeconds);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &value, &len), 0);
  EXPECT_EQ(value, TcpLink::kKeepAliveProbes);
}

// A bridge on the App's own loop: accepts one client at a time.
struct Bridge {
  explicit Bridge(App& app, uint16_t port = 0) : acceptor(app.Loop().Io()) {
    const asio::ip::tcp::endpoint at(asio::ip::make_address("127.0.0.1"), port);
    acceptor.open(at.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(at);
    acceptor.listen();
    Accept();
  }
  void Accept() {
    acceptor.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket s) {
      if (ec) return;
      client = std::make_unique<asio::ip::tcp::socket>(std::move(s));
      ++accepted;
      Accept();
    });
  }
  uint16_t Port() const { return acceptor.local_endpoint().port(); }
  void Send(const std::string& s) { asio::write(*client, asio::buffer(s)); }
  std::string Receive(size_t n) {
    std::string out(n, '\0');
    asio::read(*client, asio::buffer(out));
    return out;
  }
  asio::ip::tcp::acceptor acceptor;
  std::unique_ptr<asio::ip::tcp::socket> client;
  int accepted = 0;
};

TEST(ReceiverLink, TcpBridgeDropsRefusesAndComesBack) {
  LinkBed bed;
  auto bridge = std::make_unique<Bridge>(bed.app);
  const uint16_t port = bridge->Port();
  bed.app.GetSettings().SerialIP = "127.0.0.1";
  bed.app.GetSettings().RFIDPort = std::to_string(port);
  ASSERT_TRUE(bed.link->InitCommPort(bed.app.GetSettings().RFIDPort));
  bed.app.State().SerialPortOpen = true;
  EXPECT_TRUE(bed.link->TcpMode());
  EXPECT_EQ(bed.link->Monitor()->aOpenStatus, "Port Open / 0 tries");
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bridge->accepted == 1; }));
  bed.link->SendToReceiver(std::string("\xF0\x29", 2));
  EXPECT_EQ(bridge->Receive(2), std::string("\xF0\x29", 2));
  bridge->Send("1A2B87 ");
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.Device("1A2B") != nullptr; }));

  // The bridge drops the connection in the middle of a report: one entry,
  // an immediate reconnect, and the cut report is not glued to the next.
  bridge->Send("3C");
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.app.State().ReceiveBuffer == "3C"; }));
  bridge->client->close();
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bridge->accepted == 2; }));
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.app.State().SerialPortOpen; }));
  EXPECT_EQ(bed.CountLogStarting("RFID IP Connection Closed "), 1u);
  EXPECT_EQ(bridge->Receive(2), std::string("\xF0\x29", 2));
  bridge->Send("1A2B55 ");
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.Device("1A2B")->Strength() == 55; }));
  EXPECT_EQ(bed.app.Tables().DeviceTable.size(), 1u);

  // Now it goes away and refuses: attempts are paced by the connect timer,
  // not repeated at once from every refusal, and logged once.
  bridge.reset();
  const uint64_t before = bed.link->ConnectAttempts();
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.link->ConnectTries() >= 3; }));
  EXPECT_LE(bed.link->ConnectAttempts() - before, 5u);
  EXPECT_EQ(bed.CountLogStarting("RFID IP Connection Closed ") +
                bed.CountLogStarting("RFID Winsock1_Error at State "),
            2u);
  bridge = std::make_unique<Bridge>(bed.app, port);
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.app.State().SerialPortOpen; }));
  EXPECT_EQ(bed.CountLogStarting("RFID IP Connection restored to 127.0.0.1:"), 2u);
  bed.app.State().LinkClosing = true;
  bed.link->Close();
}

// A port saved on a page: the link leaves the old bridge without waiting
// for the new one, says once that it does not answer, keeps trying it (never
// the old port) and takes it when a listener appears there.
TEST(ReceiverLink, ReopenedPortIsKeptAndRetriedWithoutWaiting) {
  LinkBed bed;
  Bridge old_bridge(bed.app);
  Settings& settings = bed.app.GetSettings();
  settings.SerialIP = "127.0.0.1";
  settings.RFIDPort = std::to_string(old_bridge.Port());
  ASSERT_TRUE(bed.link->InitCommPort(settings.RFIDPort));
  ASSERT_TRUE(RunUntil(bed.app, [&] { return old_bridge.accepted == 1; }));
  uint16_t new_port = 0;
  { new_port = Bridge(bed.app).Port(); }  // free again: nothing listens there yet
  settings.RFIDPort = std::to_string(new_port);
  bool loop_ran = false;
  asio::post(bed.app.Loop().Io(), [&] { loop_ran = true; });
  bed.link->ReopenCommPort();
  EXPECT_FALSE(loop_ran) << "the reopen ran the loop: it waited for the connection";
  EXPECT_FALSE(bed.app.State().SerialPortOpen);
  const std::string notice =
      "RFID receiver on port 127.0.0.1:" + settings.RFIDPort + " not answering; retrying";
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.link->ConnectTries() >= 2; }));
  EXPECT_EQ(bed.CountLogStarting(notice), 1u);
  Bridge new_bridge(bed.app, new_port);
  ASSERT_TRUE(RunUntil(bed.app, [&] { return bed.app.State().SerialPortOpen; }));
  EXPECT_EQ(new_bridge.Receive(2), std::string("\xF0\x29", 2));
  EXPECT_EQ(old_bridge.accepted, 1) << "the old port was never tried again";
  EXPECT_EQ(bed.CountLogStarting(notice), 1u);
  bed.app.State().LinkClosing = true;
  bed.link->Close();
}

}  // namespace
}  // namespace tagvane::test
