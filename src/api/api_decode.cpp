#include "api/api_decode.h"

#include <cmath>
#include <optional>

#include "core/dates.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"
#include "scripting/script_files.h"

namespace tagvane {
namespace {

using json = nlohmann::json;

// One argument as it came: a query text (bytes) or a JSON value.
struct RawArg {
  bool given = false;
  bool from_query = false;
  std::string query_text;
  json value;
};

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ApiError Fault(std::string message, std::string_view parameter = "") {
  return {400, std::move(message), std::string(parameter)};
}

int ParamIndex(const ApiMember& m, std::string_view name) {
  for (size_t i = 0; i < m.params.size(); ++i) {
    if (EqualsNoCase(m.params[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

std::optional<ApiError> FromQuery(const ApiMember& m, std::string_view raw_query,
                                  std::vector<RawArg>& raw) {
  for (const std::string& part : Split(raw_query, '&')) {
    if (part.empty()) continue;
    const size_t eq = part.find('=');
    std::string name, value;
    if (!DecodeQueryPart(std::string_view(part).substr(0, eq), &name) ||
        (eq != std::string::npos &&
         !DecodeQueryPart(std::string_view(part).substr(eq + 1), &value))) {
      return Fault("the query string holds a broken %-escape");
    }
    const int i = ParamIndex(m, name);
    if (i < 0) return Fault(std::string(m.name) + " has no parameter \"" + name + "\"", name);
    if (raw[i].given) continue;  // the first value of a name wins
    raw[i] = {true, true, std::move(value), {}};
  }
  return std::nullopt;
}

std::optional<ApiError> FromBody(const ApiMember& m, std::string_view body,
                                 std::vector<RawArg>& raw) {
  json parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded()) return Fault("the body is not valid JSON");
  if (parsed.is_array()) {
    if (parsed.size() > m.params.size()) {
      return Fault(std::string(m.name) + " takes " + std::to_string(m.params.size()) +
                   " arguments, not " + std::to_string(parsed.size()));
    }
    for (size_t i = 0; i < parsed.size(); ++i) raw[i] = {true, false, {}, std::move(parsed[i])};
    return std::nullopt;
  }
  if (!parsed.is_object()) return Fault("the body must be a JSON object or array");
  for (auto& [name, value] : parsed.items()) {
    const int i = ParamIndex(m, name);
    std::string shown;
    if (i < 0) {
      TextFromJson(name, &shown);
      return Fault(std::string(m.name) + " has no parameter \"" + shown + "\"", shown);
    }
    raw[i] = {true, false, {}, std::move(value)};
  }
  return std::nullopt;
}

// The argument as text, or nullopt when it is not one.
std::optional<std::string> AsText(const RawArg& r) {
  if (r.from_query) return r.query_text;
  const json& v = r.value;
  std::string bytes;
  if (v.is_string()) {
    if (!TextFromJson(v.get_ref<const std::string&>(), &bytes)) return std::nullopt;
    return bytes;
  }
  if (v.is_number_integer()) return v.dump();
  if (v.is_number_float()) return DoubleText(v.get<double>());
  if (v.is_boolean()) return std::string(v.get<bool>() ? "True" : "False");
  if (v.is_null()) return std::string();
  return std::nullopt;
}

std::optional<ApiError> CheckText(const ApiParam& p, std::string_view text) {
  if (p.rule == ApiTextRule::kRaw) return std::nullopt;
  const bool line_safe = p.rule != ApiTextRule::kPlain;
  for (const char c : text) {
    if (c == '\0' && p.rule != ApiTextRule::kBody) {
      return Fault(std::string(p.name) + " may not hold a NUL character", p.name);
    }
    if (line_safe && (c == '\r' || c == '\n' || c == '\x03')) {
      return Fault(std::string(p.name) + " may not hold CR, LF or U+0003", p.name);
    }
  }
  if (p.rule == ApiTextRule::kScript) {
    // Scripts themselves may name any file; callers of the API only files
    // below Scripts/, where a leading separator also points.
    std::string_view below = text;
    if (!below.empty() && (below.front() == '/' || below.front() == '\\')) below.remove_prefix(1);
    if (IsFullScriptPath(text) || (!below.empty() && !IsSafeRelativeName(below))) {
      return Fault(
          std::string(p.name) + " must name a file below Scripts/ (no full path, no \"..\")",
          p.name);
    }
  }
  return std::nullopt;
}

std::optional<ApiError> Convert(const ApiParam& p, const RawArg& r, ApiArg& arg) {
  arg.present = true;
  if (p.type == ApiType::kText) {
    auto text = AsText(r);
    if (!text)
      return Fault(std::string(p.name) + " must be a text (characters up to U+00FF)", p.name);
    arg.text = std::move(*text);
    return CheckText(p, arg.text);
  }
  std::optional<std::string> text;
  if (r.from_query || r.value.is_string()) text = AsText(r);
  if (p.type == ApiType::kDate) {
    std::optional<DateTime> d = text ? ParseDate(*text) : std::nullopt;
    if (!d) return Fault(std::string(p.name) + " must be a date \"dd/MM/yyyy HH:mm:ss\"", p.name);
    arg.date = *d;
    return std::nullopt;
  }
  double number = 0;
  if (text && IsNumeric(*text)) {
    number = LeadingNumber(*text);
  } else if (!r.from_query && r.value.is_number()) {
    number = r.value.get<double>();
  } else {
    return Fault(std::string(p.name) + " must be a number", p.name);
  }
  try {
    if (!std::isfinite(number)) throw OverflowError();
    arg.number = p.type == ApiType::kLong ? ToInt32(number) : ToInt16(number);
  } catch (const OverflowError&) {
    return Fault(
        std::string(p.name) + (p.type == ApiType::kLong
                                   ? " must be a 32-bit integer (-2147483648 to 2147483647)"
                                   : " must be a 16-bit integer (-32768 to 32767)"),
        p.name);
  }
  arg.text = std::to_string(arg.number);
  return std::nullopt;
}

}  // namespace

bool DecodeQueryPart(std::string_view s, std::string* out) {
  out->clear();
  out->reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      *out += ' ';
    } else if (s[i] != '%') {
      *out += s[i];
    } else {
      if (i + 2 >= s.size()) return false;
      const int hi = HexDigitValue(s[i + 1]);
      const int lo = HexDigitValue(s[i + 2]);
      if (hi < 0 || lo < 0) return false;
      *out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return true;
}

std::string QueryValue(std::string_view raw_query, std::string_view name) {
  for (const std::string& part : Split(raw_query, '&')) {
    const size_t eq = part.find('=');
    std::string key, value;
    if (eq == std::string::npos || !DecodeQueryPart(std::string_view(part).substr(0, eq), &key) ||
        !EqualsNoCase(key, name) ||
        !DecodeQueryPart(std::string_view(part).substr(eq + 1), &value)) {
      continue;
    }
    return value;
  }
  return {};
}

std::variant<ApiCall, ApiError> DecodeApiCall(std::string_view method, std::string_view member,
                                              std::string_view raw_query, std::string_view body,
                                              bool body_overflow) {
  const bool post = method == "POST";
  if (!post && method != "GET") return ApiError{405, "use GET or POST", ""};
  if (body_overflow) return ApiError{413, "the body is larger than 64 KiB", ""};
  while (!member.empty() && (member.back() == '/' || member.back() == '\\')) {
    member.remove_suffix(1);
  }
  ApiCall call;
  if (member.empty()) return call;
  call.member = FindApiMember(member);
  if (!call.member) {
    std::string shown(member.substr(0, 100));
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return Fault("no member named \"" + shown + "\"; GET /api/ lists them");
  }
  const ApiMember& m = *call.member;
  std::vector<RawArg> raw(m.params.size());
  const bool has_body = post && !TrimSpaces(body).empty();
  auto fault = has_body ? FromBody(m, body, raw) : FromQuery(m, raw_query, raw);
  if (fault) return *fault;
  call.args.resize(m.params.size());
  for (size_t i = 0; i < m.params.size(); ++i) {
    const ApiParam& p = m.params[i];
    const bool absent =
        !raw[i].given || (p.type != ApiType::kText && !raw[i].from_query && raw[i].value.is_null());
    if (absent) {
      if (p.optional) continue;
      return Fault("missing parameter " + std::string(p.name), p.name);
    }
    if (auto e = Convert(p, raw[i], call.args[i])) return *e;
  }
  return call;
}

}  // namespace tagvane
