#include "api/api_http.h"

#include <algorithm>
#include <charconv>

#include "core/text.h"

namespace tagvane {
namespace {

bool IsTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= ' ' || u >= 0x7f) return false;
  return std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// True when the comma-separated header value lists token (any case).
bool ListsToken(std::string_view value, std::string_view token) {
  for (const std::string& part : Split(value, ',')) {
    if (EqualsNoCase(TrimBlanks(part), token)) return true;
  }
  return false;
}

}  // namespace

std::string_view ApiHttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return {};
}

ApiRequestParser::Result ApiRequestParser::Fail(int status, std::string text) {
  error_status_ = status;
  error_text_ = std::move(text);
  return Result::kError;
}

bool ApiRequestParser::Partial() const {
  for (size_t i = consumed_; i < buffer_.size(); ++i) {
    if (buffer_[i] != '\r' && buffer_[i] != '\n') return true;
  }
  return false;
}

ApiRequestParser::Result ApiRequestParser::Next(ApiHttpRequest* out) {
  if (error_status_) return Result::kError;
  // Blank lines before a request are skipped.
  while (consumed_ < buffer_.size() && (buffer_[consumed_] == '\r' || buffer_[consumed_] == '\n')) {
    ++consumed_;
  }
  const std::string_view data = std::string_view(buffer_).substr(consumed_);
  // The head: lines up to the first empty one (CR LF or LF line ends).
  std::vector<std::string_view> lines;
  size_t head_end = std::string_view::npos;
  for (size_t from = 0;;) {
    const size_t nl = data.find('\n', from);
    if (nl == std::string_view::npos || nl > kMaxHead) break;
    std::string_view line = data.substr(from, nl - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    from = nl + 1;
    if (line.empty()) {
      head_end = from;
      break;
    }
    if (lines.size() > kMaxHeaders) return Fail(431, "the request has too many header lines");
    lines.push_back(line);
  }
  if (head_end == std::string_view::npos) {
    if (data.size() > kMaxHead) return Fail(431, "the request head is larger than 16 KiB");
    return Result::kNeedMore;
  }

  // METHOD TARGET HTTP/1.x: the target is everything between the method
  // and the protocol word at the end of the line, exactly as sent.
  const std::string_view line = lines.front();
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || last == first) {
    return Fail(400, "the request line is not \"METHOD TARGET HTTP/1.1\"");
  }
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, last - first - 1);
  const std::string_view version = line.substr(last + 1);
  if (method.empty() || !std::all_of(method.begin(), method.end(), IsTokenChar)) {
    return Fail(400, "the request line names no method");
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return Fail(400, "the protocol must be HTTP/1.1 or HTTP/1.0");
  }
  if (target.empty() || target.front() != '/') return Fail(400, "the target must start with /");

  ApiHttpRequest r;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t colon = lines[i].find(':');
    const std::string_view name = colon == std::string_view::npos ? "" : lines[i].substr(0, colon);
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenChar)) {
      return Fail(400, "a header line is not \"Name: value\"");
    }
    r.headers.emplace_back(name, TrimBlanks(lines[i].substr(colon + 1)));
  }
  if (!r.Header("Transfer-Encoding").empty()) {
    return Fail(501, "a body must come with Content-Length (no transfer codings)");
  }
  size_t length = 0;
  bool have_length = false;
  for (const auto& [name, value] : r.headers) {
    if (!EqualsNoCase(name, "Content-Length")) continue;
    size_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || value.empty() ||
        (have_length && n != length)) {
      return Fail(400, "Content-Length is not one number");
    }
    length = n;
    have_length = true;
  }
  if (length > kMaxBody) return Fail(413, "the body is larger than 64 KiB");
  if (data.size() - head_end < length) return Result::kNeedMore;

  r.method = std::string(method);
  const size_t question = target.find('?');
  r.path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) r.query = std::string(target.substr(question + 1));
  r.body = std::string(data.substr(head_end, length));
  r.http10 = version == "HTTP/1.0";
  const std::string_view connection = r.Header("Connection");
  r.keep_alive = r.http10 ? ListsToken(connection, "keep-alive") : !ListsToken(connection, "close");
  *out = std::move(r);

  consumed_ += head_end + length;
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > kMaxBody) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  return Result::kRequest;
}

bool AsksForApi(std::string_view first_packet) {
  const size_t space = first_packet.find(' ');
  if (space == std::string_view::npos) return false;
  const std::string_view target = first_packet.substr(space + 1);
  if (target.size() < 5 || !StartsWithNoCase(target, "/api")) return false;
  return target[4] == '/' || target[4] == '?' || target[4] == ' ';
}

}  // namespace tagvane
