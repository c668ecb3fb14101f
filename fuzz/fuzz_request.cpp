// Feeds arbitrary bytes to the request parser as a first packet and as the
// later packets of a posted body, then reads every value back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "web/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte chooses where the first packet ends.
  const size_t cut = size ? data[0] % (size + 1) : 0;
  tagvane::Request request;
  request.set_remoteip("127.0.0.1");
  request.ParsePage(input.substr(0, cut));
  std::string_view rest = input.substr(cut);
  while (!rest.empty() && !request.PostDataComplete()) {
    const size_t n = rest.size() < 7 ? rest.size() : 7;
    request.AddPostData(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  request.FlushRequest();
  size_t total = request.page().size() + request.Query().size() + request.Payload().size() +
                 request.header().size() + request.Method().size();
  for (const auto& [name, pair] : request.FormCol()) total += request.Form(name).size();
  for (const auto& [name, pair] : request.QueryStringCol())
    total += request.QueryString(name).size();
  total += request.ServerVariables("http_user_agent").size();
  total += tagvane::Request::Decode(input).size() + tagvane::Request::GetContent(input).size();
  return total == SIZE_MAX ? 1 : 0;
}
