#include "web/request.h"

#include "core/fast_string.h"
#include "core/numbers.h"
#include "core/text.h"

namespace tagvane {
namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Value of one escape digit: its place in kHexDigits (exact case), -1 when
// it is not there, 0 when the text has ended.
int EscapeDigit(std::string_view s, size_t at) {
  if (at >= s.size()) return 0;
  const size_t p = kHexDigits.find(s[at]);
  return p == std::string_view::npos ? -1 : static_cast<int>(p);
}

}  // namespace

std::string Request::Decode(std::string_view s) {
  std::string plus = ReplaceAll(s, "+", " ");
  FastString out(plus.size());
  size_t from = 0;
  size_t p = plus.find('%');
  while (p != std::string::npos) {
    int code = 16 * EscapeDigit(plus, p + 1) + EscapeDigit(plus, p + 2);
    if (code < 32) code = 32;
    out.Add(std::string_view(plus).substr(from, p - from));
    const char c = static_cast<char>(static_cast<unsigned char>(code));
    out.Add(std::string_view(&c, 1));
    from = p + 3;
    if (from >= plus.size()) break;
    p = plus.find('%', from);
  }
  if (from < plus.size()) out.Add(std::string_view(plus).substr(from));
  return out.Take();
}

std::string Request::ParsePairs(std::string_view s, PairCollection& into) {
  if (s.empty()) return {};
  const std::vector<std::string> parts = Split(s, '&');
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    // Split first, then decode: an encoded "&" or "=" stays in its value.
    const std::vector<std::string> pieces = Split(parts[i], '=');
    KeyValuePair pair{Decode(pieces[0]), pieces.size() > 1 ? Decode(pieces[1]) : std::string()};
    into.Add(pair.KEY, pair);
  }
  return parts.back();
}

void Request::ParsePage(std::string_view s) {
  size_t space = std::string_view::npos;
  size_t http = std::string_view::npos;
  try {
    space = s.find(' ');
    if (space == std::string_view::npos) return;
    method_ = std::string(s.substr(0, space));
    const size_t found = FindNoCase(s.substr(space), "HTTP");
    if (found == std::string_view::npos) return;
    http = space + found;
    // The path ends one character before "HTTP" (the separating blank).
    const size_t path_len = http >= space + 2 ? http - space - 2 : 0;
    const std::string_view raw_path = s.substr(space + 1, path_len);
    const size_t question = raw_path.find('?');
    page_ = Decode(raw_path.substr(0, question));
    if (question != std::string_view::npos) {
      query_ = Decode(raw_path.substr(question));
      raw_query_ = std::string(raw_path.substr(question + 1));
      query_remainder_ = std::string(ParsePairs(raw_path.substr(question + 1), query_pairs_));
    } else {
      query_.clear();
    }

    payload_.clear();
    size_t body_len = 0;
    const size_t blank = s.find("\r\n\r\n", http);
    if (blank != std::string_view::npos) {
      header_ = std::string(s.substr(http, blank - http));
      const std::string_view body = s.substr(blank + 4);
      // A body of one or two characters (a stray line end) carries no pair,
      // but it still counts as received so Content-Length can be met.
      body_len = body.size();
      KeepRawBody(body);
      if (body.size() >= 3) {
        if (method_ == "POST") method_ = "POSTx";
        const std::string raw = ReplaceAll(body, "\r\n", "");
        payload_ = Decode(raw);
        form_remainder_ = ParsePairs(raw, form_pairs_);
      }
    } else {
      header_ = std::string(s.substr(http));
    }

    const std::vector<std::string> lines = Split(header_, "\r\n");
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::vector<std::string> parts = Split(lines[i], ": ");
      if (parts.size() == 2) headers_.Add(parts[0], parts[1]);
    }
    received_ += static_cast<int64_t>(body_len);
  } catch (const std::exception&) {
    if (on_error_) {
      on_error_("ParsePage i=" + std::to_string(static_cast<int64_t>(space)) +
                ",j=" + std::to_string(static_cast<int64_t>(http)) +
                ",len=" + std::to_string(s.size()) + ", Data=" + std::string(s));
    }
  }
}

void Request::KeepRawBody(std::string_view bytes) {
  const size_t room = kRawBodyLimit - raw_body_.size();
  raw_body_.append(bytes.substr(0, room));
  if (bytes.size() > room) raw_body_overflow_ = true;
}

void Request::AddPostData(std::string_view t) {
  KeepRawBody(t);
  form_remainder_ = ParsePairs(form_remainder_ + std::string(t), form_pairs_);
  received_ += static_cast<int64_t>(t.size());
}

void Request::FlushRequest() {
  if (!form_remainder_.empty()) {
    ParsePairs(form_remainder_ + "&", form_pairs_);
    form_remainder_.clear();
  }
  if (!query_remainder_.empty()) {
    ParsePairs(query_remainder_ + "&", query_pairs_);
    query_remainder_.clear();
  }
}

bool Request::PostDataComplete() const {
  const std::string* length = headers_.Find("Content-Length");
  if (!length) return true;
  return LeadingNumber(*length) <= static_cast<double>(received_);
}

std::string Request::ServerVariables(std::string_view name) const {
  const std::string lower = ToLower(name);
  if (lower == "remote_addr") return remote_ip_;
  if (lower == "auth_user" || lower == "remote_user") return auth_user_;
  const std::string_view header_name = lower == "http_user_agent" ? "User-Agent" : name;
  const std::string* value = headers_.Find(header_name);
  return value ? *value : std::string();
}

std::string Request::QueryString(std::string_view name) const {
  const KeyValuePair* pair = query_pairs_.Find(name);
  return pair ? pair->Value : std::string();
}

std::string Request::Form(std::string_view name) const {
  const KeyValuePair* pair = form_pairs_.Find(name);
  return pair ? pair->Value : std::string();
}

std::string Request::GetContent(std::string_view text) {
  const size_t blank = text.find("\r\n\r\n");
  return blank == std::string_view::npos ? std::string() : std::string(text.substr(blank + 4));
}

}  // namespace tagvane
