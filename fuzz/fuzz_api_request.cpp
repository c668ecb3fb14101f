// Throws arbitrary bytes at the API's request decoding: the first bytes
// choose the method and where the member name, the query string and the
// body begin; every member's parameters are converted from what follows.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "api/api_decode.h"
#include "web/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::string_view method = data[0] % 3 == 0 ? "GET" : data[0] % 3 == 1 ? "POST" : "PUT";
  const size_t a = data[1] % (input.size() + 1);
  const size_t b = a + data[2] % (input.size() - a + 1);
  const auto& members = tagvane::ApiMembers();
  // Half the inputs name a real member so that the parameters get decoded.
  std::string_view member = input.substr(0, a);
  if (data[1] & 1) member = members[data[2] % members.size()].name;
  auto result = tagvane::DecodeApiCall(method, member, input.substr(a, b - a), input.substr(b),
                                       input.size() > tagvane::Request::kRawBodyLimit);
  size_t total = 0;
  if (const auto* call = std::get_if<tagvane::ApiCall>(&result)) {
    for (const auto& arg : call->args) total += arg.text.size() + (arg.present ? 1 : 0);
  } else {
    total = std::get<tagvane::ApiError>(result).message.size();
  }
  std::string bytes;
  tagvane::TextFromJson(std::string(input), &bytes);
  total += tagvane::JsonText(bytes).dump(-1, ' ', true).size();
  return total == SIZE_MAX ? 1 : 0;
}
