// The JSON API under /api/ on the built-in HTTP server: who may call
// (web/api_access.h: by client and by what the member does), the
// decoding of the call, the call onto the script API object, and the JSON
// answer. Calls run on the loop like every page, in the 50 ms dispatch of
// the request queue.
#pragma once

#include <string>
#include "web/history_query.h"

namespace tagvane {

class App;
class Request;
class Response;
class ScriptHost;
class TCPServer;

class ApiEndpoint {
 public:
  // job_token: the secret the daemon's own jobs present (see ApiCallAccess).
  ApiEndpoint(App& app, ScriptHost& host, std::string job_token = "")
      : app_(app), host_(host), job_token_(std::move(job_token)) {}

  void Serve(Request& request, Response& response);

 private:
  App& app_;
  ScriptHost& host_;
  std::string job_token_;
  // /api/history, the one resource that is not a member of the object.
  HistoryAsker history_;
};

// Routes /api/ of server to a new endpoint over app and host.
void InstallApi(TCPServer& server, App& app, ScriptHost& host, std::string job_token = "");

}  // namespace tagvane
