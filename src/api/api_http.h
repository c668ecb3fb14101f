// The HTTP side of the JSON API: one request as the API reads it (the
// method, the request target exactly as sent, the headers and the body of
// this connection only), the incremental parser that cuts a connection's
// bytes into such requests (keep-alive and pipelining), and the two ways an
// answer leaves: a complete answer, or an endless stream (Server-Sent
// Events). Pure: no sockets, so hostile bytes can be thrown at it directly.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tagvane {

struct ApiHttpRequest {
  std::string method;  // as sent; only "GET" and "POST" are served
  std::string path;    // the target before "?", undecoded ("/api/DeviceStatus")
  std::string query;   // the target after "?", undecoded ("" when none)
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string peer;         // the client's address
  bool keep_alive = true;   // HTTP/1.1 unless "Connection: close"
  bool http10 = false;
  // The value of a header (name in any case), "" when absent.
  std::string_view Header(std::string_view name) const;
};

// Cuts one connection's bytes into requests. Framing is by Content-Length
// only; the body belongs to the request whose head announced it.
class ApiRequestParser {
 public:
  static constexpr size_t kMaxHead = 16 * 1024;
  static constexpr size_t kMaxHeaders = 100;
  static constexpr size_t kMaxBody = 64 * 1024;

  enum class Result { kNeedMore, kRequest, kError };

  void Feed(std::string_view bytes) { buffer_.append(bytes); }
  // kRequest: *out holds the next request. kError: the bytes cannot be
  // framed (ErrorStatus: 400 malformed, 413 body too large, 431 head too
  // large, 501 a transfer coding); the connection answers and closes, and
  // Next keeps returning kError.
  Result Next(ApiHttpRequest* out);
  int ErrorStatus() const { return error_status_; }
  const std::string& ErrorText() const { return error_text_; }
  // Bytes of an unfinished request are waiting (blank lines between
  // requests do not count).
  bool Partial() const;
  size_t Buffered() const { return buffer_.size() - consumed_; }

 private:
  Result Fail(int status, std::string text);

  std::string buffer_;
  size_t consumed_ = 0;
  int error_status_ = 0;
  std::string error_text_;
};

// True when the first packet of a connection asks for /api or below (the
// path as sent, "/api" in any case followed by "/", "?" or the blank before
// the protocol). A packet that ends before that can be told is not.
bool AsksForApi(std::string_view first_packet);

// The writing end of an endless answer. Queued() counts the bytes handed to
// Write that the reader has not taken yet.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  virtual bool Open() const = 0;
  virtual size_t Queued() const = 0;
  virtual void Write(std::string_view bytes) = 0;
  virtual void Close() = 0;
};

// How a served request answers. Exactly one of the two is called, now or,
// after Later(), once from the loop.
class ApiReplyTo {
 public:
  virtual ~ApiReplyTo() = default;
  // The answer will come after Serve returns: the handle to answer on,
  // valid however long it is kept (an answer to a connection that has gone
  // is dropped). Requests behind it on the connection wait their turn.
  virtual std::shared_ptr<ApiReplyTo> Later() = 0;
  // A complete answer; extra_headers are whole lines, each ending in CR LF.
  virtual void Answer(int status, std::string_view content_type, std::string_view body,
                      std::string_view extra_headers = "") = 0;
  // Sends the head of an answer without a length and hands back the sink
  // for what follows; the connection ends when the sink closes.
  virtual std::shared_ptr<StreamSink> OpenStream(std::string_view content_type) = 0;
};

}  // namespace tagvane
