#include "api/api_endpoint.h"

#include <memory>

#include "api/api_decode.h"
#include "api/api_history.h"
#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "web/api_access.h"
#include "web/page_answer.h"
#include "web/request.h"
#include "web/response.h"
#include "web/tcp_server.h"

namespace tagvane {
namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kJson = "application/json";

void Answer(Response& response, int status, const json& body, std::string_view headers = "") {
  SendAnswer(response, status, kJson, body.dump(-1, ' ', true), headers);
}

void Refuse(Response& response, const ApiError& e) {
  json body = {{"error", JsonText(e.message)}};
  if (!e.parameter.empty()) body["parameter"] = JsonText(e.parameter);
  Answer(response, e.status, body, e.status == 405 ? "Allow: GET, POST\r\n" : "");
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

}  // namespace

void ApiEndpoint::Serve(Request& request, Response& response) {
  switch (ApiCallAccess(app_.Ini(), request.ServerVariables("remote_addr"),
                        request.ServerVariables("Authorization"))) {
    case ApiVerdict::kForbidden:
      return Refuse(response, {403, "this client may not use the API (settings APIAccess and "
                                    "APIToken)", ""});
    case ApiVerdict::kUnauthorized:
      SendAnswer(response, 401, kJson,
                 json{{"error", "a valid \"Authorization: Bearer <token>\" header is required"}}
                     .dump(),
                 "WWW-Authenticate: Bearer\r\n");
      return;
    case ApiVerdict::kAllowed:
      break;
  }
  std::string_view member = request.page();
  member.remove_prefix(std::min<size_t>(4, member.size()));  // "/api"
  while (!member.empty() && (member.front() == '/' || member.front() == '\\')) {
    member.remove_prefix(1);
  }
  if (EqualsNoCase(member, "history")) return ServeApiHistory(app_, history_, request, response);
  auto decoded = DecodeApiCall(request.Method(), member, request.RawQuery(), request.RawBody(),
                               request.RawBodyOverflow());
  if (const auto* error = std::get_if<ApiError>(&decoded)) return Refuse(response, *error);
  const ApiCall& call = std::get<ApiCall>(decoded);
  if (!call.member) return Answer(response, 200, Description());
  ApiAnswer answer;
  std::string refused;
  const bool done = Guard(app_.Log(), "ApiCall " + std::string(call.member->name), [&] {
    try {
      answer = call.member->invoke(host_, call.args);
    } catch (const ApiCallError& e) {
      refused = e.what();
    }
  });
  if (!refused.empty()) return Refuse(response, {400, refused, ""});
  if (!done) {
    return Answer(response, 500, json{{"error", "the call failed; see the event log"}});
  }
  Answer(response, 200, json{{"result", std::move(answer.result)}, {"type", answer.kind}});
}

void InstallApi(TCPServer& server, App& app, ScriptHost& host) {
  auto endpoint = std::make_shared<ApiEndpoint>(app, host);
  server.AddPrefix("/api", [endpoint](Request& request, Response& response, int) {
    endpoint->Serve(request, response);
  });
}

}  // namespace tagvane
