// One HTTP request as the built-in server hands it to the pages: method,
// path, query string, headers, and the query and form pairs, the form pairs
// possibly completed from later packets of the same connection. Text is
// bytes; nothing here raises to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/ci_map.h"

namespace tagvane {

// Where parse failures are reported (the event log in the daemon).
using RequestErrorSink = std::function<void(const std::string&)>;

struct KeyValuePair {
  std::string KEY;
  std::string Value;
};

// Name -> pair; names compare without regard to case, and the first pair of
// a name wins.
using PairCollection = CaseInsensitiveMap<KeyValuePair>;

class Request {
 public:
  // Without a sink (the fuzzer, benchmarks) failures are silent.
  explicit Request(RequestErrorSink on_error = {}) : on_error_(std::move(on_error)) {}

  const std::string& page() const { return page_; }
  const std::string& Payload() const { return payload_; }
  const std::string& header() const { return header_; }
  const std::string& Query() const { return query_; }
  const std::string& Method() const { return method_; }
  // The query string as sent (after "?", undecoded) and the body bytes as
  // sent, for callers that decode them their own way (JSON). At most
  // kRawBodyLimit body bytes are kept; RawBodyOverflow() tells when more
  // arrived.
  static constexpr size_t kRawBodyLimit = 64 * 1024;
  const std::string& RawQuery() const { return raw_query_; }
  const std::string& RawBody() const { return raw_body_; }
  bool RawBodyOverflow() const { return raw_body_overflow_; }
  const PairCollection& QueryStringCol() const { return query_pairs_; }
  const PairCollection& FormCol() const { return form_pairs_; }
  void set_remoteip(std::string ip) { remote_ip_ = std::move(ip); }
  // The user the server authenticated (AUTH_USER); never taken from a header.
  void set_auth_user(std::string user) { auth_user_ = std::move(user); }

  // Parses the first packet of a request.
  void ParsePage(std::string_view s);
  // Adds a later packet of the posted body.
  void AddPostData(std::string_view t);
  // Adds the unfinished last pairs; called once when the body is complete
  // or the wait for it ended.
  void FlushRequest();
  // True when the Content-Length header's number is not above the body
  // received so far; a request without that header is complete at once.
  bool PostDataComplete() const;

  // "http_user_agent", "remote_addr", or any header name (any case).
  std::string ServerVariables(std::string_view name) const;
  std::string QueryString(std::string_view name) const;
  std::string Form(std::string_view name) const;

  // The text after the first empty line, "" when there is none.
  static std::string GetContent(std::string_view text);
  // URL decoding: "+" is a blank; "%XY" with upper-case hex digits only;
  // codes below 32 (and unknown digits) become a blank.
  static std::string Decode(std::string_view s);

 private:
  // Adds the complete "name=value" parts of the undecoded text s (split at
  // "&", then at "=", then each name and value decoded) and returns the
  // last part, still undecoded, which may be an unfinished pair.
  static std::string ParsePairs(std::string_view s, PairCollection& into);
  void KeepRawBody(std::string_view bytes);

  RequestErrorSink on_error_;
  PairCollection query_pairs_;
  PairCollection form_pairs_;
  CaseInsensitiveMap<std::string> headers_;
  std::string query_;
  std::string page_;
  std::string payload_;
  std::string header_;
  std::string method_;
  std::string remote_ip_;
  std::string auth_user_;
  std::string form_remainder_;
  std::string query_remainder_;
  std::string raw_query_;
  std::string raw_body_;
  bool raw_body_overflow_ = false;
  int64_t received_ = 0;
};

}  // namespace tagvane
