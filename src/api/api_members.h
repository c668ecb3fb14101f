// The members of the automation object "Tagwell.Application" as other
// programs reach them through the JSON API: names, parameter names and
// types in their published order, the kind of each result, and the call
// onto the ScriptApi. The API's decoder, its self-description and the
// client tools all read this one table.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "web/api_access.h"

namespace tagvane {

class ScriptHost;

enum class ApiType { kText, kLong, kInteger, kDate };

// What a text parameter may carry. Every text refuses NUL, except kRaw
// (SendUDPMessage's datagram) and kBody (SendXapMessage's items, which NUL
// and U+0001 separate). kWritten texts end up in INI files, device records,
// wrapper files or xAP messages and also refuse CR, LF and U+0003 (the INI
// store's composite-key separator); so does kBody. kScript names a script
// file and must stay below Scripts/ (no full path, no ".."); it is also
// line-safe like kWritten.
enum class ApiTextRule { kPlain, kWritten, kBody, kRaw, kScript };

struct ApiParam {
  std::string_view name;
  ApiType type = ApiType::kText;
  bool optional = false;
  ApiTextRule rule = ApiTextRule::kPlain;
};

// One decoded argument; present is false for an optional one left out.
struct ApiArg {
  bool present = false;
  std::string text;
  int32_t number = 0;
  DateTime date{};
};

// A result: its kind ("null", "text", "number", "boolean", "date",
// "collection", "message", "process") and its JSON value.
struct ApiAnswer {
  std::string kind = "null";
  nlohmann::ordered_json result;
};

// A call the daemon refuses after decoding (a progid it does not know, a
// job wrapper that could not be written as asked); parameter names the
// argument at fault, "" when none.
class ApiCallError : public std::runtime_error {
 public:
  explicit ApiCallError(const std::string& what, std::string parameter = "")
      : std::runtime_error(what), parameter_(std::move(parameter)) {}
  const std::string& parameter() const { return parameter_; }

 private:
  std::string parameter_;
};

using ApiInvoke = ApiAnswer (*)(ScriptHost& host, std::span<const ApiArg> args);

struct ApiMember {
  std::string_view name;
  std::vector<ApiParam> params;
  // The kind named in the self-description; "value" for RunEx, whose
  // result takes the kind of what the procedure returned.
  std::string_view result;
  ApiInvoke invoke;
  // Who may call it (web/api_access.h).
  ApiCallKind kind = ApiCallKind::kChanges;
};

// The 36 members in their published order, then "CreateObject" and
// "JobStatus" (a spawned job looked up by its process id).
const std::vector<ApiMember>& ApiMembers();
// The member named name in any letter case, nullptr when there is none.
const ApiMember* FindApiMember(std::string_view name);

// Text as JSON: each byte one code point U+0000-U+00FF, so any byte string
// survives the trip; TextFromJson reverses it and returns false for a code
// point above U+00FF.
nlohmann::ordered_json JsonText(std::string_view bytes);
bool TextFromJson(const std::string& utf8, std::string* bytes);

}  // namespace tagvane
