#include "web/response.h"

#include <fstream>

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/fast_string.h"
#include "core/paths.h"
#include "core/text.h"
#include "web/file_times.h"
#include "web/html_escape.h"
#include "web/request.h"
#include "web/tcp_server.h"

namespace tagvane {

std::optional<std::filesystem::path> Response::FindBelowRoot(const std::filesystem::path& root,
                                                             std::string_view page_path) {
  std::string name = ReplaceAll(page_path, "\\", "/");
  // One leading separator marks the root itself; a second one would make
  // the name absolute and is refused below.
  if (!name.empty() && name.front() == '/') name.erase(0, 1);
  if (!IsSafeRelativeName(name)) return std::nullopt;
  auto path = ResolveBelow(root, name);
  if (!path) return std::nullopt;
  std::error_code ec;
  // A link may point anywhere; only what really lies below the root counts.
  const auto real = std::filesystem::canonical(*path, ec);
  if (ec || !std::filesystem::is_regular_file(real, ec)) return std::nullopt;
  // The root's own real path is looked up once per root, not per request.
  static thread_local std::filesystem::path last_root, last_real_root;
  if (root != last_root) {
    last_real_root = std::filesystem::canonical(root, ec);
    if (ec) return std::nullopt;
    last_root = root;
  }
  const auto rel = real.lexically_relative(last_real_root);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  return real;
}

std::string Response::MediumDate() const {
  return FormatMediumDate(server_.GetApp().GetClock().Now());
}

uint64_t Response::GenerationOf(int16_t index) const {
  return index == index_ ? generation_ : server_.Generation(index);
}

void Response::SendBuilt(std::string text, int16_t index) {
  if (answered_) return;
  answered_ = true;
  const uint64_t generation = GenerationOf(index);
  server_.SetTag(index, generation, "0");
  if (server_.State(index) == TCPServer::kStateConnected) {
    server_.Send(index, generation, std::move(text));
  }
  server_.Pump();
}

void Response::Redirect(std::string_view) {
  SendTextString("<HTML>Unauthorized Access<HTML>", index_);
}

void Response::SendTextString(std::string_view text, int16_t index) {
  Guard(server_.GetApp().Log(), "TCPSever_SendTextString ", [&] {
    FastString out(text.size() + 256);
    out.Add("HTTP/1.1 200 OK\r\n")
        .Add("Server: qbx\r\n")
        .Add("Date: ")
        .Add(MediumDate())
        .Add("\r\n")
        .Add("Expires: Tue, 04 Dec 1993 21:29:02 GMT\r\n")
        .Add("Accept-Ranges: bytes\r\n")
        .Add("Content-Type: text/html\r\n")
        .Add("Content-Length: ")
        .Add(std::to_string(text.size()))
        .Add("\r\n")
        .Add("Cache-Control: no-cache\r\n")
        .Add("\r\n")
        .Add(text);
    SendBuilt(out.Take(), index);
  });
}

void Response::SendTextFile(std::string_view path, int16_t index) {
  Guard(server_.GetApp().Log(), "TCPServer_SendTextFile ", [&] {
    const auto file = server_.Files().Find(server_.HtmlRoot(), path);
    std::optional<std::string> text;
    if (file) text = ReadWholeFile(*file);
    if (!text) {
      SendErrorResponse(index);
      return;
    }
    FastString out(text->size() + 256);
    out.Add("HTTP/1.0 200 OK\r\n")
        .Add("Server: qbx\r\n")
        .Add("Date: ")
        .Add(MediumDate())
        .Add("\r\n")
        .Add("Accept-Ranges: bytes\r\n")
        // Pages render in standards mode, where a style sheet served as
        // text/html is ignored.
        .Add(EqualsNoCase(Right(path, 4), ".css") ? "Content-Type: text/css\r\n"
                                                  : "Content-Type: text/html\r\n")
        .Add("Last-Modified: ")
        .Add(FormatGeneralDate(FileModified(*file)))
        .Add("\r\n")
        .Add("Content-Length: ")
        .Add(std::to_string(text->size()))
        .Add("\r\n\r\n")
        .Add(*text);
    const uint64_t generation = GenerationOf(index);
    server_.SetTag(index, generation, "0");
    const int state = server_.State(index);
    if (state == TCPServer::kStateConnected) {
      server_.Send(index, generation, out.Take());
    } else {
      server_.GetApp().Log().LogEvent(
          kProductSource, "TCPServer Unable to send TextFile " + file->string() + " to socket " +
                              std::to_string(index) + " because State is " + std::to_string(state));
    }
    server_.Pump();
  });
}

void Response::SendErrorResponse(int16_t index) {
  Guard(server_.GetApp().Log(), "TCPServer_SendError_Response ", [&] {
    static constexpr std::string_view kBody = "<html><h1>404 File Not Found</h1></html>";
    FastString out(256);
    out.Add("HTTP/1.1 200 Object Not Found\r\n")
        .Add("Server: qbx\r\n")
        .Add("Date: ")
        .Add(MediumDate())
        .Add("\r\n")
        .Add("Connection: Close\r\n")
        .Add("Content-Type: text/html\r\n")
        .Add("Content-Length: ")
        .Add(std::to_string(kBody.size()))
        .Add("\r\n\r\n")
        .Add(kBody);
    SendBuilt(out.Take(), index);
  });
}

void Response::SendBinaryFile(std::string_view path, int16_t index) {
  Guard(server_.GetApp().Log(), "TCPServer_SendBinaryFile ", [&] {
    const uint64_t generation = GenerationOf(index);
    const std::string c = GetMimeType(path).content_type;
    const auto file = server_.Files().Find(server_.HtmlRoot(), path);
    const FileFacts facts = file ? StatFile(*file) : FileFacts{};
    std::optional<std::string> bytes =
        file ? server_.FileBytes().Small(*file, facts) : std::nullopt;
    std::ifstream in;
    if (file && !bytes) in.open(*file, std::ios::binary);
    if (!file || (!bytes && !in)) {
      server_.Send(index, generation,
                   "HTTP/1.1 404 Not Found\r\nServer: qbx\r\nDate:" + MediumDate() + "\r\n\r\n");
      server_.Pump();
      return;
    }
    FastString header(512);
    header.Add("HTTP/1.1 200 OK\r\n")
        .Add("Server: qbx\r\n")
        .Add("Date:")
        .Add(MediumDate())
        .Add("\r\n")
        .Add("Last-Modified: ")
        .Add(FormatGeneralDate(facts.modified))
        .Add("\r\n")
        .Add("Accept-Ranges: bytes\r\n")
        .Add("Content-Length: ")
        .Add(std::to_string(facts.size))
        .Add("\r\n")
        .Add("Connection: Close\r\n")
        .Add("Content-Type: ")
        .Add(c)
        .Add("\r\n\r\n");
    // The tag "1" keeps the connection open through the chunks; the server
    // streams them from the connection's own state and closes it after the
    // last, while the queue goes on being served.
    server_.SetTag(index, generation, "1");
    server_.Send(index, generation, header.Take());
    if (bytes) {
      server_.StreamBytes(index, generation, std::move(*bytes));
    } else {
      server_.StreamFile(index, generation, std::move(in), facts.size);
    }
  });
}

MimeType Response::GetMimeType(std::string_view path) {
  auto has = [&](std::string_view s) { return path.find(s) != std::string_view::npos; };
  if (has(".txt")) return {"text/plain", true, false};
  if (has(".htm")) return {"text/html", true, false};
  if (has(".jpg")) return {"image/jpg", false, false};
  if (has(".gif")) return {"image/gif", false, false};
  if (has(".bmp")) return {"image/bmp", false, false};
  if (has(".php")) return {"text/html", true, true};
  return {"unknown/binary", false, false};
}

void Response::RedirectToHS(std::string_view host, const Request& r, int16_t index) {
  Guard(server_.GetApp().Log(), "TCPSever_RedirectToHS ", [&] {
    // Names and values come from the client: nothing of them may end a
    // header line or leave an attribute.
    auto header_safe = [](std::string text) {
      std::erase_if(text, [](char ch) { return ch == '\r' || ch == '\n'; });
      return text;
    };
    const std::string q = ReplaceAll(r.page(), "\\", "/");
    const std::string agent = r.ServerVariables("http_user_agent");
    const std::string location =
        "Location: http://" + header_safe(std::string(host) + r.page() + r.Query()) + "\r\n";
    const std::string common = "Server: qbx\r\nDate: " + MediumDate() +
                               "\r\nConnection: close\r\nContent-Type: text/html\r\n" + location;
    if (FindNoCase(agent, "audrey") == std::string::npos) {
      const std::string& b = r.Payload();
      std::string out = "HTTP/1.0 307 NoSupport\r\n" + common;
      if (!TrimSpaces(b).empty()) {
        out += "Content-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b;
      } else {
        out += "\r\n";
      }
      SendBuilt(std::move(out), index);
      return;
    }
    FastString body(1024);
    body.Add("<HTML><HEAD><SCRIPT LANGUAGE=\"JavaScript\">")
        .Add("function initialize() {document.redo.submit();}")
        .Add("</script></HEAD><body onLoad='initialize()'>")
        .Add("<form name='redo' action='http://")
        .Add(EscapeHtml(host))
        .Add(EscapeHtml(q))
        .Add("' method='")
        .Add(EscapeHtml(r.Method()))
        .Add("'>");
    for (const PairCollection* pairs : {&r.QueryStringCol(), &r.FormCol()}) {
      for (const auto& [name, pair] : *pairs) {
        body.Add("<input type='hidden' name='")
            .Add(EscapeHtml(pair.KEY))
            .Add("' value='")
            .Add(EscapeHtml(pair.Value))
            .Add("'>");
      }
    }
    body.Add("</form></HTML>");
    std::string out = "HTTP/1.0 200 OK\r\n" + common +
                      "Content-Length: " + std::to_string(body.Value().size()) + "\r\n\r\n" +
                      body.Value();
    SendBuilt(std::move(out), index);
  });
}

}  // namespace tagvane
