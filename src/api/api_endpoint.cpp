#include "api/api_endpoint.h"

#include <memory>
#include <optional>

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

// The answer for a call that may not go ahead; false when it may.
bool Refused(Response& response, ApiVerdict verdict, std::string_view member) {
  const std::string what = member.empty() ? std::string("this call") : std::string(member);
  switch (verdict) {
    case ApiVerdict::kAllowed:
      return false;
    case ApiVerdict::kForbidden:
      Refuse(response, {403, "this client may not use the API (settings APIAccess and APIToken)", ""});
      return true;
    case ApiVerdict::kNoToken:
      Refuse(response, {403, what + " runs code or writes files and needs the API token, but none "
                                   "is set (setting APIToken in section RFID of Tagvane.ini)", ""});
      return true;
    case ApiVerdict::kUnauthorized:
      SendAnswer(response, 401, kJson,
                 json{{"error", what + " needs a valid \"Authorization: Bearer <token>\" header"}}
                     .dump(),
                 "WWW-Authenticate: Bearer\r\n");
      return true;
  }
  return false;
}

}  // namespace

void ApiEndpoint::Serve(Request& request, Response& response) {
  const std::string client = request.ServerVariables("remote_addr");
  const std::string authorization = request.ServerVariables("Authorization");
  // Clients elsewhere are turned away before anything is decoded.
  if (Refused(response, ApiCallAccess(app_.Ini(), client, authorization, ApiCallKind::kReads,
                                      job_token_), "")) {
    return;
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
  if (Refused(response, ApiCallAccess(app_.Ini(), client, authorization, call.member->kind,
                                      job_token_), call.member->name)) {
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
  if (refused) return Refuse(response, *refused);
  if (!done) {
    return Answer(response, 500, json{{"error", "the call failed; see the event log"}});
  }
  Answer(response, 200, json{{"result", std::move(answer.result)}, {"type", answer.kind}});
}

void InstallApi(TCPServer& server, App& app, ScriptHost& host, std::string job_token) {
  auto endpoint = std::make_shared<ApiEndpoint>(app, host, std::move(job_token));
  server.AddPrefix("/api", [endpoint](Request& request, Response& response, int) {
    endpoint->Serve(request, response);
  });
}

}  // namespace tagvane
