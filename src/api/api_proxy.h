// The application object of a job run outside the daemon: a Lua object
// whose members call the running daemon's JSON API and give the answers
// back as the values scripts get inside the daemon (texts, numbers,
// booleans, nil, collections, messages, a process table).
#pragma once

#include "api/api_client.h"

struct lua_State;

namespace tagvane {

// Publishes into a fresh engine (after RegisterScriptObjects): every member
// as a global, and CreateObject, whose "Tagwell.Application" asks the
// daemon to create its object (POST /api/CreateObject) and returns the
// proxy (members reachable as xap.Member(...), xap:Member(...), any letter
// case). The client must outlive the engine.
void PublishApiProxy(lua_State* L, const ApiClient& client);

// Pushes the Lua value of a 200 answer ({"result": ..., "type": ...}).
void PushApiResult(lua_State* L, const ApiJson& answer);

}  // namespace tagvane
