#include "api/api_endpoint.h"

#include <memory>
#include <optional>
#include <stdexcept>

#include "api/api_decode.h"
#include "api/api_history.h"
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
    case ApiType::kLong:
      return "long";
    case ApiType::kInteger:
      return "integer";
    case ApiType::kDate:
      return "date";
    default:
      return "text";
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
      members.push_back(
          {{"name", m.name}, {"parameters", std::move(params)}, {"result", m.result}});
    }
    return json{{"object", "Tagwell.Application"}, {"members", std::move(members)}};
  }();
  return description;
}

// The answer for a call that may not go ahead; false when it may.
bool Refused(ApiReplyTo& reply, ApiVerdict verdict, std::string_view member) {
  const std::string what = member.empty() ? std::string("this call") : std::string(member);
  switch (verdict) {
    case ApiVerdict::kAllowed:
      return false;
    case ApiVerdict::kForbidden:
      Refuse(reply, {403, "this client may not use the API (settings APIAccess and APIToken)", ""});
      return true;
    case ApiVerdict::kNoToken:
      Refuse(reply, {403,
                     what + " runs code or writes files and needs the API token, but none "
                            "is set (setting APIToken in section RFID of Tagvane.ini)",
                     ""});
      return true;
    case ApiVerdict::kUnauthorized:
      reply.Answer(
          401, kJson,
          json{{"error", what + " needs a valid \"Authorization: Bearer <token>\" header"}}.dump(),
          "WWW-Authenticate: Bearer\r\n");
      return true;
  }
  return false;
}

// "Bearer <token>" from a ?token= of the query, "" when there is none.
std::string TokenFromQuery(std::string_view query) {
  const std::string token = QueryValue(query, "token");
  return token.empty() ? std::string() : "Bearer " + token;
}

}  // namespace

ApiEndpoint::ApiEndpoint(App& app, ScriptHost& host, std::string job_token)
    : app_(app), host_(host), job_token_(std::move(job_token)) {
  AddResource("tags", [this](const ApiHttpRequest&, ApiReplyTo& reply) {
    reply.Answer(200, kJson, TagsBody(app_));
  });
  AddResource("history", [this](const ApiHttpRequest& request, ApiReplyTo& reply) {
    ServeApiHistory(app_, history_, request, reply);
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

  // Clients elsewhere are turned away before anything is decoded.
  if (Refused(
          reply,
          ApiCallAccess(app_.Ini(), request.peer, authorization, ApiCallKind::kReads, job_token_),
          "")) {
    return;
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
  if (Refused(reply,
              ApiCallAccess(app_.Ini(), request.peer, authorization, call.member->kind, job_token_),
              call.member->name)) {
    return;
  }
  ApiAnswer answer;
  std::optional<ApiError> refused;
  const bool done = Guard(app_.Log(), "ApiCall " + std::string(call.member->name), [&] {
    try {
      answer = call.member->invoke(host_, call.args);
    } catch (const ApiCallError& e) {
      refused = ApiError{400, e.what(), e.parameter()};
    }
  });
  if (refused) return Refuse(reply, *refused);
  if (!done) {
    return Answer(reply, 500, json{{"error", "the call failed; see the event log"}});
  }
  Answer(reply, 200, json{{"result", std::move(answer.result)}, {"type", answer.kind}});
}

ApiServer& InstallApi(TCPServer& server, App& app, ScriptHost& host, std::string job_token) {
  auto api = std::make_unique<ApiServer>(app, host, std::move(job_token));
  ApiServer& installed = *api;
  server.SetTaker(std::move(api));
  return installed;
}

}  // namespace tagvane
