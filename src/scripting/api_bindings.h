// Publishes the API object into a fresh engine: the global "xap" (members
// reachable as xap.Member(...), xap:Member(...) and, ignoring case, through
// the object), every member also as a global, and CreateObject.
#pragma once

struct lua_State;

namespace tagvane {

class ScriptHost;

void PublishApi(lua_State* L, ScriptHost& host);

}  // namespace tagvane
