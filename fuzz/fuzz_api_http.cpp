// Throws arbitrary bytes at the API's request framing, fed in pieces whose
// sizes the first byte chooses: every request taken must be one the bytes
// announced (its body within the bound), and the parser must never hold
// more than the bytes given.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/api_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = 1 + data[0] % 64;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  tagvane::ApiRequestParser parser;
  tagvane::AsksForApi(input);
  size_t taken = 0;
  for (size_t at = 0; at < input.size(); at += step) {
    parser.Feed(input.substr(at, step));
    tagvane::ApiHttpRequest r;
    for (;;) {
      const auto result = parser.Next(&r);
      if (result != tagvane::ApiRequestParser::Result::kRequest) break;
      if (r.body.size() > tagvane::ApiRequestParser::kMaxBody) __builtin_trap();
      taken += r.path.size() + r.query.size() + r.body.size();
      if (taken > input.size()) __builtin_trap();
    }
    if (parser.Buffered() > input.size()) __builtin_trap();
  }
  return 0;
}
