// The JSON API under /api/: who may call (web/api_access.h: by client and by
// what the member does), the decoding of a member call, the call onto
// the script API object and the JSON answer; and the named resources that
// are not members (GET /api/tags, /api/events, ...), each one entry of a
// small table. A request is served the moment it is complete (ApiServer).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api_http.h"
#include "web/history_query.h"

namespace tagvane {

class App;
class ScriptHost;
class TCPServer;

// Serves GET /api/<name> of one resource; access has been checked.
using ApiResource = std::function<void(const ApiHttpRequest&, ApiReplyTo&)>;

class ApiEndpoint {
 public:
  // job_token: the secret the daemon's own jobs present (see ApiCallAccess).
  ApiEndpoint(App& app, ScriptHost& host, std::string job_token = "");

  void Serve(const ApiHttpRequest& request, ApiReplyTo& reply);
  // Adds GET /api/<name> (name in any case; never a member's name).
  // Resources take the token as a header or, for browsers, as ?token=.
  void AddResource(std::string name, ApiResource serve);

 private:
  const ApiResource* FindResource(std::string_view name) const;

  App& app_;
  ScriptHost& host_;
  std::string job_token_;
  std::vector<std::pair<std::string, ApiResource>> resources_;
  HistoryAsker history_;
};

class ApiServer;
// Hands the connections of /api/ on server's port to a new ApiServer over
// app and host, and returns it (its Endpoint() takes further resources).
ApiServer& InstallApi(TCPServer& server, App& app, ScriptHost& host, std::string job_token = "");

}  // namespace tagvane
