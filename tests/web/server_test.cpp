#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <algorithm>
#include <filesystem>
#include <functional>

#include "core/dates.h"
#include "support/app_options.h"
#include "web/file_times.h"
#include "web/request.h"
#include "web/response.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

const std::string kDate = "05-Dec-26";  // the fixture's clock

TEST(Server, EmptyPortTextNeverListens) {
  TempDir dir;
  WriteFile(dir / "Config/Tagvane.ini", "[RFID]\r\nHTTPPort=\"\"\r\n");
  App app(test::TestAppOptions(dir.Path()));
  auto web = std::make_unique<WebServer>(app);
  WebServer* server = web.get();
  app.SetHttpServer(std::move(web));
  app.InitXap();
  EXPECT_EQ(server->Server().LocalPort(), 0);
}

TEST(Server, StatusTextAnswerIsByteExact) {
  WebFixture fx;
  const std::string answer = fx.Get("/Status.htm");
  const std::string body = BodyOf(answer);
  EXPECT_EQ(HeaderOf(answer),
            "HTTP/1.1 200 OK\r\nServer: qbx\r\nDate: " + kDate +
                "\r\nExpires: Tue, 04 Dec 1993 21:29:02 GMT\r\nAccept-Ranges: bytes\r\n"
                "Content-Type: text/html\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nCache-Control: no-cache\r\n\r\n");
  // Standards mode: one doctype, one html and one head, the page's own
  // scripts inside that head.
  EXPECT_TRUE(body.starts_with("<!DOCTYPE html><html lang=\"en\"><head>"));
  for (const char* once : {"<!DOCTYPE", "<html", "<head>", "</head>"}) {
    EXPECT_EQ(Occurrences(body, once), 1u) << once;
  }
  EXPECT_LT(body.find("<SCRIPT LANGUAGE=\"JavaScript\">"), body.find("</head>"));
  EXPECT_TRUE(body.ends_with("</small></center></div></body></html>"));
}

TEST(Server, UnroutedPageGetsNotFoundAndIsClosed) {
  WebFixture fx;
  for (const char* path : {"/favicon.ico", "/index.html", "/x/missing.css"}) {
    const std::string answer = fx.Get(path);
    EXPECT_EQ(answer,
              "HTTP/1.1 200 Object Not Found\r\nServer: qbx\r\nDate: " + kDate +
                  "\r\nConnection: Close\r\nContent-Type: text/html\r\nContent-Length: 40\r\n\r\n"
                  "<html><h1>404 File Not Found</h1></html>")
        << path;
  }
  // Every one of them was closed and uncounted: no socket leaks.
  EXPECT_EQ(fx.server().SocketsOpen(), 0);
}

TEST(Server, TextFileAnswerIsByteExactAndCaseInsensitive) {
  WebFixture fx;
  WriteFile(fx.html() / "X/Style.css", "body{}");
  WriteFile(fx.html() / "empty.css", "");
  const std::string stamp = FormatGeneralDate(FileModified(fx.html() / "X/Style.css"));
  EXPECT_EQ(fx.Get("/x/STYLE.css"),
            "HTTP/1.0 200 OK\r\nServer: qbx\r\nDate: " + kDate +
                "\r\nAccept-Ranges: bytes\r\nContent-Type: text/css\r\nLast-Modified: " + stamp +
                "\r\nContent-Length: 6\r\n\r\nbody{}");
  EXPECT_TRUE(fx.Get("/empty.css").ends_with("Content-Length: 0\r\n\r\n"));
  // Names are remembered, yet a renamed or new file is found at once.
  std::filesystem::rename(fx.html() / "X/Style.css", fx.html() / "X/old.css");
  EXPECT_TRUE(fx.Get("/x/old.css").ends_with("body{}"));
  EXPECT_TRUE(fx.Get("/x/style.css").ends_with("<html><h1>404 File Not Found</h1></html>"));
  WriteFile(fx.html() / "X/sTyle.css", "new{}");
  EXPECT_TRUE(fx.Get("/x/STYLE.css").ends_with("new{}"));
}

TEST(Server, BinaryFileIsStreamedWholeAndClosed) {
  WebFixture fx;
  std::string picture;
  for (int i = 0; i < 2500; ++i) picture += static_cast<char>(i * 7 % 256);
  WriteFile(fx.html() / "images/Logo.PNG", picture);
  const std::string stamp = FormatGeneralDate(FileModified(fx.html() / "images/Logo.PNG"));
  Client client(fx);
  client.Send("GET /images/logo.PNG HTTP/1.1\r\n\r\n");
  const std::string answer = client.ReadAll();
  EXPECT_TRUE(client.closed());
  EXPECT_EQ(HeaderOf(answer), "HTTP/1.1 200 OK\r\nServer: qbx\r\nDate:" + kDate +
                                  "\r\nLast-Modified: " + stamp +
                                  "\r\nAccept-Ranges: bytes\r\nContent-Length: 2500\r\n"
                                  "Connection: Close\r\nContent-Type: unknown/binary\r\n\r\n");
  EXPECT_EQ(BodyOf(answer), picture);
  EXPECT_EQ(fx.server().SocketsOpen(), 0);
  // Asked again it comes from memory; rewritten (same size) it is read anew.
  EXPECT_EQ(BodyOf(fx.Get("/images/logo.PNG")), picture);
  std::reverse(picture.begin(), picture.end());
  WriteFile(fx.html() / "images/Logo.PNG", picture);
  EXPECT_EQ(BodyOf(fx.Get("/images/logo.PNG")), picture);
  EXPECT_EQ(fx.Get("/nothing.gif"),
            "HTTP/1.1 404 Not Found\r\nServer: qbx\r\nDate:" + kDate + "\r\n\r\n");
}

TEST(Server, MimeTypes) {
  EXPECT_EQ(Response::GetMimeType("\\a.jpg").content_type, "image/jpg");
  EXPECT_EQ(Response::GetMimeType("\\a.gif").content_type, "image/gif");
  EXPECT_EQ(Response::GetMimeType("\\a.pdf").content_type, "unknown/binary");
  EXPECT_EQ(Response::GetMimeType("\\a.txt.gif").content_type, "text/plain");
  EXPECT_TRUE(Response::GetMimeType("\\a.php").script);
}

TEST(Server, HelpPageRewritesPictureFolderOrApologises) {
  WebFixture fx;
  const std::string missing = BodyOf(fx.Get("/HELP"));
  EXPECT_TRUE(missing.starts_with("Sorry, Help from ")) << missing;
  EXPECT_TRUE(missing.ends_with("Tagvane.htm is not available"));
  WriteFile(fx.html() / "Help/Tagvane/Tagvane.htm", "<img src=\"TAGVANE_files/a.gif\">");
  EXPECT_EQ(BodyOf(fx.Get("/help")), "<img src=\"help/Tagvane/Tagvane_files/a.gif\">");
}

TEST(Server, FileRoutesNeverLeaveTheHtmlRoot) {
  WebFixture fx;
  WriteFile(fx.dir() / "secret.css", "secret");
  WriteFile(fx.dir() / "secret.gif", "secret");
  WriteFile(fx.html() / "ok.css", "fine");
  std::filesystem::create_symlink(fx.dir() / "secret.css", fx.html() / "link.css");
  for (const char* path :
       {"/../secret.css", "/%2E%2E/secret.css", "/..%2Fsecret.css", "/x/../../secret.css",
        "//"
        "tmp/../secret.css",
        "/link.css", "/../secret.gif", "/%2E%2E%2Fsecret.gif"}) {
    const std::string answer = fx.Get(path);
    EXPECT_EQ(answer.find("secret"), std::string::npos) << path << "\n" << answer;
  }
  const std::string absolute = fx.Get("/" + (fx.dir() / "secret.css").string());
  EXPECT_EQ(absolute.find("secret\r"), std::string::npos);
  EXPECT_TRUE(fx.Get("/OK.CSS").ends_with("fine"));
}

// Polls ready() every 5 ms on the loop and runs act once it holds, so act
// runs inside whatever wait the server is in.
void WhenReady(asio::steady_timer& poll, const std::function<bool()>& ready,
               const std::function<void()>& act) {
  poll.expires_after(std::chrono::milliseconds(5));
  poll.async_wait([&poll, ready, act](const asio::error_code&) {
    if (ready()) {
      act();
    } else {
      WhenReady(poll, ready, act);
    }
  });
}

TEST(Server, PostBodyFromALaterPacket) {
  WebFixture fx;
  // The poll runs on the server's own loop, so inside the server's wait
  // for the body: the body is sent only once the header has been taken
  // from the queue, which makes it a later packet.
  Client client(fx);
  const std::string body = "clientinput=yes&UpdateButton=Save&ShowSetup=1&pagetoken=" +
                           fx.web().Forms().Token(PageForm::kStatus);
  client.Send("POST /status HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\n\r\n");
  asio::steady_timer poll(fx.app().Loop().Io());
  bool body_sent = false;
  WhenReady(
      poll, [&] { return fx.server().SocketsOpen() == 1 && fx.server().QueueLength() == 0; },
      [&] {
        client.Send(body);
        body_sent = true;
      });
  const std::string answer = client.ReadAll();
  EXPECT_TRUE(body_sent);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK"));
  EXPECT_TRUE(fx.app().GetSettings().ShowSetup);
}

TEST(Server, PostWaitEndsAtAnotherSocketsPacket) {
  WebFixture fx;
  // Only the other socket's packet can end this wait within the test.
  fx.server().SetPostWait(600000);
  Client other(fx);
  Client poster(fx);
  poster.Send("POST /status HTTP/1.1\r\nContent-Length: 45\r\n\r\n");
  // Runs inside the server's wait: once the POST header has been taken and
  // both connections are open, the other client asks for a page.
  asio::steady_timer poll(fx.app().Loop().Io());
  bool other_sent = false;
  WhenReady(
      poll, [&] { return fx.server().SocketsOpen() == 2 && fx.server().QueueLength() == 0; },
      [&] {
        other.Send("GET /favicon.ico HTTP/1.1\r\n\r\n");
        other_sent = true;
      });
  const std::string posted = poster.ReadAll();
  EXPECT_TRUE(other_sent);
  EXPECT_TRUE(poster.closed());
  EXPECT_TRUE(posted.starts_with("HTTP/1.1 200 OK")) << posted;
  EXPECT_FALSE(fx.app().GetSettings().ShowSetup);
  // The other packet is served next, as a request of its own.
  const std::string got = other.ReadAll();
  EXPECT_TRUE(got.starts_with("HTTP/1.1 200 Object Not Found")) << got;
}

TEST(Server, PostWithoutBodyIsAnsweredWhenTheWaitEnds) {
  WebFixture fx;
  fx.server().SetPostWait(200);  // stands for the 5000 ms of the daemon
  Client client(fx);
  client.Send("POST /status HTTP/1.1\r\nContent-Length: 45\r\n\r\n");
  const std::string answer = client.ReadAll();
  EXPECT_TRUE(client.closed());
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK"));
}

TEST(Server, CrowdingResetListensAgain) {
  WebFixture fx;
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 24; ++i) {
    idle.push_back(std::make_unique<Client>(fx));
    fx.PumpUntil([&] { return fx.server().SocketsOpen() == i + 1; });
  }
  EXPECT_EQ(fx.server().SocketsOpen(), 24);
  EXPECT_EQ(fx.server().HighestIndex(), 25);
  // The 25th connection resets the set, and is served on the fresh one.
  const std::string answer = fx.Get("/status");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK"));
  EXPECT_LE(fx.server().HighestIndex(), 6);
  // The old connections were closed by the reset.
  for (auto& c : idle) {
    c->ReadAll();
    EXPECT_TRUE(c->closed());
  }
  // And the page keeps working afterwards.
  EXPECT_TRUE(fx.Get("/status").starts_with("HTTP/1.1 200 OK"));
  EXPECT_GT(fx.server().LocalPort(), 0);
}

TEST(Server, RoundRobinSkipsTheListener) {
  WebFixture fx;
  EXPECT_GT(fx.server().LocalPort(), 0);
  EXPECT_EQ(fx.server().HighestIndex(), 5);
  EXPECT_EQ(fx.server().SocketsOpen(), 0);
  std::vector<int> chosen;
  for (int i = 0; i < 8; ++i) {
    fx.Get("/favicon.ico");
    chosen.push_back(fx.server().NextSocket());
  }
  for (int s : chosen) EXPECT_NE(s, 0);
  EXPECT_EQ(chosen[0], 1);
  EXPECT_EQ(chosen[4], 5);
  EXPECT_EQ(chosen[5], 1);  // wraps from the highest index to 1
}

// Connects clients that close at once until one is given slot `slot`.
std::unique_ptr<Client> ClientOnSlot(WebFixture& fx, int slot) {
  for (int tries = 0; tries < 60; ++tries) {
    const int open = fx.server().SocketsOpen();
    auto c = std::make_unique<Client>(fx);
    fx.PumpUntil([&] { return fx.server().SocketsOpen() == open + 1; });
    if (fx.server().NextSocket() == slot) return c;
    c.reset();
    fx.PumpUntil([&] { return fx.server().SocketsOpen() == open; });
  }
  return nullptr;
}

TEST(Server, AnswersNeverCrossToTheNextConnectionOfASlot) {
  WebFixture fx("", /*manual_timers=*/true);
  // Two requests queued from one connection, which then resets: every item
  // of it goes, not just the first.
  Client gone(fx);
  gone.Send("GET /status HTTP/1.1\r\n\r\n");
  fx.PumpUntil([&] { return fx.server().QueueLength() == 1; });
  gone.Send("GET /status HTTP/1.1\r\n\r\n");
  fx.PumpUntil([&] { return fx.server().QueueLength() == 2; });
  const int slot = fx.server().NextSocket();
  gone.Reset();
  fx.PumpUntil([&] { return fx.server().SocketsOpen() == 0; });
  EXPECT_EQ(fx.server().QueueLength(), 0u);
  // The next client on that slot gets its own answer only.
  auto next = ClientOnSlot(fx, slot);
  ASSERT_TRUE(next);
  next->Send("GET /favicon.ico HTTP/1.1\r\n\r\n");
  fx.PumpUntil([&] { return fx.server().QueueLength() == 1; });
  fx.Dispatch();
  EXPECT_TRUE(next->ReadAll().starts_with("HTTP/1.1 200 Object Not Found"));
  EXPECT_EQ(fx.server().SocketsOpen(), 0);
}

TEST(Server, HalfClosedClientGetsItsAnswer) {
  WebFixture fx;
  Client c(fx);
  c.Send("GET /status HTTP/1.1\r\n\r\n");
  c.HalfClose();
  EXPECT_TRUE(c.ReadAll().starts_with("HTTP/1.1 200 OK"));
  EXPECT_TRUE(c.closed());
  // One that closes outright leaves nothing behind either.
  {
    Client gone(fx);
    gone.Send("GET /status HTTP/1.1\r\n\r\n");
  }
  fx.PumpUntil([&] { return fx.server().SocketsOpen() == 0 && fx.server().QueueLength() == 0; });
  EXPECT_EQ(fx.server().SocketsOpen(), 0);
  EXPECT_EQ(fx.server().QueueLength(), 0u);
}

TEST(Server, SlowReaderOfAFileStallsNoOtherRequest) {
  WebFixture fx;
  std::string file(4 << 20, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 13 % 251);
  WriteFile(fx.html() / "big.pdf", file);
  Client slow(fx, 4096);
  slow.Send("GET /big.pdf HTTP/1.1\r\n\r\n");
  fx.PumpUntil([&] { return fx.server().SocketsOpen() == 1 && fx.server().QueueLength() == 0; });
  // The file's reader takes nothing; the page is served meanwhile.
  EXPECT_TRUE(fx.Get("/status").starts_with("HTTP/1.1 200 OK"));
  EXPECT_FALSE(slow.closed());
  // Once it reads, it gets the whole file.
  EXPECT_EQ(BodyOf(slow.ReadAll()), file);
}

TEST(Server, QueueIsBoundedPerConnectionAndInAll) {
  WebFixture fx("", /*manual_timers=*/true);
  const std::string packet(200 * 1000, 'a');
  std::vector<std::unique_ptr<Client>> flood;
  for (int c = 0; c < 5; ++c) {
    flood.push_back(std::make_unique<Client>(fx));
    for (int i = 0; i < 5; ++i) flood.back()->Send(packet);  // 1,000,000 bytes each
    fx.app().Loop().PumpFor(Milliseconds(10));
  }
  // One more sends beyond what one connection may.
  Client greedy(fx);
  for (int i = 0; i < 6 && !greedy.closed(); ++i) {
    greedy.Send(packet);
    greedy.ReadSome(2);
  }
  greedy.ReadAll();
  EXPECT_TRUE(greedy.closed());
  fx.PumpUntil([&] {
    for (auto& c : flood) c->ReadSome(1);
    return std::any_of(flood.begin(), flood.end(), [](auto& c) { return c->closed(); });
  });
  EXPECT_LE(fx.server().QueuedBytes(), TCPServer::kMaxQueuedTotal);
  EXPECT_TRUE(std::any_of(flood.begin(), flood.end(), [](auto& c) { return c->closed(); }));
  // Served, the queue empties and the server carries on.
  fx.Dispatch();
  EXPECT_EQ(fx.server().QueueLength(), 0u);
  Client after(fx);
  after.Send("GET /status HTTP/1.1\r\n\r\n");
  fx.PumpUntil([&] { return fx.server().QueueLength() == 1; });
  fx.Dispatch();
  EXPECT_TRUE(after.ReadAll().starts_with("HTTP/1.1 200 OK"));
}

TEST(Server, ResubmitPageEscapesWhatTheClientSent) {
  WebFixture fx;
  Client c(fx);
  fx.PumpUntil([&] { return fx.server().SocketsOpen() == 1; });
  const int s = fx.server().NextSocket();
  Request request;
  request.ParsePage("GET /x?a=%27%3E%3Cb%3E HTTP/1.1\r\nUser-Agent: Audrey\r\n\r\n");
  request.FlushRequest();
  Response response(fx.server());
  response.SetIndex(static_cast<int16_t>(s));
  response.SetGeneration(fx.server().Generation(s));
  response.RedirectToHS("h\r\nSet-Cookie: x", request, static_cast<int16_t>(s));
  const std::string answer = c.ReadAll();
  EXPECT_EQ(BodyOf(answer).find("'><b>"), std::string::npos) << answer;
  EXPECT_NE(answer.find("value='&#39;&gt;&lt;b&gt;'"), std::string::npos) << answer;
  EXPECT_EQ(HeaderOf(answer).find("\r\nSet-Cookie"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
