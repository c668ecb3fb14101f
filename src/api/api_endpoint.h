// The JSON API under /api/ on the built-in HTTP server: who may call
// (loopback by default, APIAccess and APIToken in section "RFID"), the
// decoding of the call, the call onto the script API object, and the JSON
// answer. Calls run on the loop like every page, in the 50 ms dispatch of
// the request queue.
#pragma once

#include "web/history_query.h"

namespace tagvane {

class App;
class Request;
class Response;
class ScriptHost;
class TCPServer;

class ApiEndpoint {
 public:
  ApiEndpoint(App& app, ScriptHost& host) : app_(app), host_(host) {}

  void Serve(Request& request, Response& response);

 private:
  App& app_;
  ScriptHost& host_;
  // /api/history, the one resource that is not a member of the object.
  HistoryAsker history_;
};

// Routes /api/ of server to a new endpoint over app and host.
void InstallApi(TCPServer& server, App& app, ScriptHost& host);

}  // namespace tagvane
