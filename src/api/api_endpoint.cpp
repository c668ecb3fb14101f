#include "api/api_endpoint.h"

#include <memory>
#include <stdexcept>

#include "api/api_decode.h"
#include "api/api_server.h"
#include "api/tag_json.h"
#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "web/api_access.h"
#include "web/page_answer.h"
#include "web/tcp_server.h"

namespace tagvane {
namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kJson = "application/json";

void Answer(ApiReplyTo& reply, int status, const json& body, std::string_view headers = "") {
  reply.Answer(status, kJson, body.dump(-1, ' ', true), headers);
}

void Refuse(ApiReplyTo& reply, const ApiError& e) {
  json body = {{"error", JsonText(e.message)}};
  if (!e.parameter.empty()) body["parameter"] = JsonText(e.parameter);
  Answer(reply, e.status, body, e.status == 405 ? "Allow: GET, POST\r\n" : "");
}

std::string_view TypeName(ApiType t) {
  switch (t) {
    case ApiType::kLong: return "long";
    case ApiType::kInteger: return "integer";
    case ApiType::kDate: return "date";
    default: return "text";
  }
}

const json& Description() {
  static const json description = [] {
    json members = json::array();
    for (const ApiMember& m : ApiMembers()) {
      json params = json::array();
      for (const ApiParam& p : m.params) {
        params.push_back({{"name", p.name}, {"type", TypeName(p.type)}, {"optional", p.optional}});
      }
      members.push_back({{"name", m.name}, {"parameters", std::move(params)}, {"result", m.result}});
    }
    return json{{"object", "Tagwell.Application"}, {"members", std::move(members)}};
  }();
  return description;
}

// "Bearer <token>" from a ?token= of the query, "" when there is none.
std::string TokenFromQuery(std::string_view query) {
  for (const std::string& part : Split(query, '&')) {
    std::string name, value;
    const size_t eq = part.find('=');
    if (eq == std::string::npos || !DecodeQueryPart(std::string_view(part).substr(0, eq), &name) ||
        !EqualsNoCase(name, "token") ||
        !DecodeQueryPart(std::string_view(part).substr(eq + 1), &value)) {
      continue;
    }
    return "Bearer " + value;
  }
  return {};
}

}  // namespace

ApiEndpoint::ApiEndpoint(App& app, ScriptHost& host) : app_(app), host_(host) {
  AddResource("tags", [this](const ApiHttpRequest&, ApiReplyTo& reply) {
    reply.Answer(200, kJson, TagsBody(app_));
  });
}

void ApiEndpoint::AddResource(std::string name, ApiResource serve) {
  if (FindApiMember(name)) throw std::logic_error("API resource " + name + " is a member's name");
  resources_.emplace_back(std::move(name), std::move(serve));
}

const ApiResource* ApiEndpoint::FindResource(std::string_view name) const {
  for (const auto& [resource, serve] : resources_) {
    if (EqualsNoCase(resource, name)) return &serve;
  }
  return nullptr;
}

void ApiEndpoint::Serve(const ApiHttpRequest& request, ApiReplyTo& reply) {
  // The member or resource: the path below /api/, percent-decoded.
  std::string_view path = request.path;
  path.remove_prefix(std::min<size_t>(4, path.size()));  // "/api"
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string member;
  if (!DecodeQueryPart(path, &member)) {
    return Refuse(reply, {400, "the path holds a broken %-escape", ""});
  }
  const ApiResource* resource = FindResource(member);
  std::string authorization(request.Header("Authorization"));
  if (authorization.empty() && resource) authorization = TokenFromQuery(request.query);

  switch (ApiCallAccess(app_.Ini(), request.peer, authorization)) {
    case ApiVerdict::kForbidden:
      return Refuse(reply, {403, "this client may not use the API (settings APIAccess and "
                                 "APIToken)", ""});
    case ApiVerdict::kUnauthorized:
      reply.Answer(401, kJson,
                   json{{"error", "a valid \"Authorization: Bearer <token>\" header is required"}}
                       .dump(),
                   "WWW-Authenticate: Bearer\r\n");
      return;
    case ApiVerdict::kAllowed:
      break;
  }
  if (resource) {
    if (request.method != "GET") return Refuse(reply, {405, "use GET", ""});
    return (*resource)(request, reply);
  }
  auto decoded = DecodeApiCall(request.method, member, request.query, request.body, false);
  if (const auto* error = std::get_if<ApiError>(&decoded)) return Refuse(reply, *error);
  const ApiCall& call = std::get<ApiCall>(decoded);
  if (!call.member) {
    json description = Description();
    json names = json::array();
    for (const auto& entry : resources_) names.push_back(entry.first);
    description["resources"] = std::move(names);
    return Answer(reply, 200, description);
  }
  ApiAnswer answer;
  std::string refused;
  const bool done = Guard(app_.Log(), "ApiCall " + std::string(call.member->name), [&] {
    try {
      answer = call.member->invoke(host_, call.args);
    } catch (const ApiCallError& e) {
      refused = e.what();
    }
  });
  if (!refused.empty()) return Refuse(reply, {400, refused, ""});
  if (!done) {
    return Answer(reply, 500, json{{"error", "the call failed; see the event log"}});
  }
  Answer(reply, 200, json{{"result", std::move(answer.result)}, {"type", answer.kind}});
}

ApiServer& InstallApi(TCPServer& server, App& app, ScriptHost& host) {
  auto api = std::make_unique<ApiServer>(app, host);
  ApiServer& installed = *api;
  server.SetTaker(std::move(api));
  return installed;
}

}  // namespace tagvane
