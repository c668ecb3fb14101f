#include "scripting/script_objects.h"

#include <new>

#include "core/text.h"
#include "scripting/lua_args.h"
#include "scripting/script_host.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

constexpr char kCollectionMeta[] = "Tagvane.Collection";
constexpr char kMessageMeta[] = "Tagvane.XapMessage";
constexpr char kQueueMeta[] = "Tagvane.Queue";
constexpr char kProcessMeta[] = "Tagvane.Process";

// A userdata holds a pointer to its object, so the finalizer can tell a
// released object (null) and a wrong argument (another type) from a live one.
template <typename T>
T* NewObject(lua_State* L, const char* meta, T value) {
  auto** block = static_cast<T**>(lua_newuserdatauv(L, sizeof(T*), 0));
  *block = nullptr;
  luaL_setmetatable(L, meta);
  *block = new T(std::move(value));
  return *block;
}

// The object of argument i; a run-time error for another value or one that
// was released.
template <typename T>
T* Check(lua_State* L, int i, const char* meta) {
  T* object = *static_cast<T**>(luaL_checkudata(L, i, meta));
  if (!object) luaL_error(L, "the object was released");
  return object;
}

template <typename T, const char* kMeta>
int Destroy(lua_State* L) {
  if (auto** block = static_cast<T**>(luaL_testudata(L, 1, kMeta))) {
    delete *block;
    *block = nullptr;
  }
  return 0;
}

// Collections.
int CollectionIndex(lua_State* L) {
  auto* c = Check<ScriptCollection>(L, 1, kCollectionMeta);
  if (lua_type(L, 2) == LUA_TNUMBER) {
    const lua_Integer i = lua_tointeger(L, 2);
    if (i >= 1 && static_cast<size_t>(i) <= c->size()) {
      PushText(L, c->At(static_cast<size_t>(i - 1)).second);
    } else {
      lua_pushnil(L);
    }
    return 1;
  }
  size_t len = 0;
  const char* key = lua_tolstring(L, 2, &len);
  const std::string* value = key ? c->Find(std::string_view(key, len)) : nullptr;
  if (value) {
    PushText(L, *value);
  } else {
    lua_pushnil(L);
  }
  return 1;
}

int CollectionLen(lua_State* L) {
  auto* c = Check<ScriptCollection>(L, 1, kCollectionMeta);
  lua_pushinteger(L, static_cast<lua_Integer>(c->size()));
  return 1;
}

int CollectionNext(lua_State* L) {
  auto* c = Check<ScriptCollection>(L, 1, kCollectionMeta);
  const lua_Integer at = lua_tointeger(L, lua_upvalueindex(1));
  if (at < 0 || static_cast<size_t>(at) >= c->size()) return 0;
  lua_pushinteger(L, at + 1);
  lua_replace(L, lua_upvalueindex(1));
  const auto& entry = c->At(static_cast<size_t>(at));
  PushText(L, entry.first);
  PushText(L, entry.second);
  return 2;
}

int CollectionPairs(lua_State* L) {
  Check<ScriptCollection>(L, 1, kCollectionMeta);
  lua_pushinteger(L, 0);
  lua_pushcclosure(L, CollectionNext, 1);
  lua_pushvalue(L, 1);
  lua_pushnil(L);
  return 3;
}

// Members of objects work both as obj:Member(...) and obj.Member(...): the
// member is a closure over its object and drops a leading self.
template <typename T>
T* Self(lua_State* L, const char* meta) {
  T* self = Check<T>(L, lua_upvalueindex(1), meta);
  if (lua_rawequal(L, 1, lua_upvalueindex(1))) lua_remove(L, 1);
  return self;
}

std::shared_ptr<XapMessage>& Message(lua_State* L) {
  return *Self<std::shared_ptr<XapMessage>>(L, kMessageMeta);
}

int MsgAddHeader(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushinteger(L, m->AddHeader()), 1; });
}
int MsgAddItem(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] {
    return lua_pushinteger(L, m->AddItem(ArgText(L, 1), ArgText(L, 2), ArgText(L, 3))), 1;
  });
}
int MsgAddSection(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushinteger(L, m->AddSection(ArgText(L, 1))), 1; });
}
int MsgCompareAddress(lua_State* L) {
  Message(L);
  return Protect(L, [&] {
    return lua_pushboolean(L, XapMessage::CompareAddress(ArgText(L, 1), ArgText(L, 2))), 1;
  });
}
int MsgCompareClass(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushboolean(L, m->CompareClass(ArgText(L, 1))), 1; });
}
int MsgCompareSource(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushboolean(L, m->CompareSource(ArgText(L, 1))), 1; });
}
int MsgCompareTarget(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushboolean(L, m->CompareTarget(ArgText(L, 1))), 1; });
}
int MsgFromXap(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushinteger(L, m->FromXap(ArgText(L, 1))), 1; });
}
int MsgGetItem(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return PushText(L, m->GetItem(ArgText(L, 1), ArgText(L, 2))), 1; });
}
int MsgInit(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return lua_pushinteger(L, m->Init(ArgText(L, 1))), 1; });
}
int MsgCollection(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] {
    const XapMessage::ItemMap* items = m->msgCollection(ArgInteger(L, 1, "Index"));
    if (!items) return lua_pushnil(L), 1;
    ScriptCollection c;
    for (const auto& [key, line] : *items) c.Add(key, line);
    PushCollection(L, std::move(c));
    return 1;
  });
}
int MsgReset(lua_State* L) {
  Message(L);
  return 0;
}
int MsgToXap(lua_State* L) {
  auto& m = Message(L);
  return Protect(L, [&] { return PushText(L, m->ToXap()), 1; });
}

struct Member {
  const char* name;  // lower case
  lua_CFunction fn;
};

constexpr Member kMessageMethods[] = {
    {"addheader", MsgAddHeader},         {"additem", MsgAddItem},
    {"addsection", MsgAddSection},       {"compareaddress", MsgCompareAddress},
    {"compareclass", MsgCompareClass},   {"comparesource", MsgCompareSource},
    {"comparetarget", MsgCompareTarget}, {"fromxap", MsgFromXap},
    {"getitem", MsgGetItem},             {"init", MsgInit},
    {"msgcollection", MsgCollection},    {"reset", MsgReset},
    {"toxap", MsgToXap}};

bool PushMethod(lua_State* L, const std::string& name, const Member* begin, const Member* end) {
  for (const Member* m = begin; m != end; ++m) {
    if (name == m->name) {
      lua_pushvalue(L, 1);
      lua_pushcclosure(L, m->fn, 1);
      return true;
    }
  }
  return false;
}

int MessageIndex(lua_State* L) {
  auto& m = *Check<std::shared_ptr<XapMessage>>(L, 1, kMessageMeta);
  return Protect(L, [&] {
    const std::string name = ToLower(ArgText(L, 2));
    if (name == "msgclass") return PushText(L, m->MsgClass()), 1;
    if (name == "msgsource") return PushText(L, m->MsgSource()), 1;
    if (name == "msgtarget") return PushText(L, m->MsgTarget()), 1;
    if (name == "msguid") return PushText(L, m->MsgUID()), 1;
    if (name == "msgsection") {
      const auto names = m->MsgSection();
      lua_createtable(L, static_cast<int>(names.size()), 0);
      for (size_t i = 0; i < names.size(); ++i) {
        PushText(L, names[i]);
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
      }
      return 1;
    }
    if (!PushMethod(L, name, std::begin(kMessageMethods), std::end(kMessageMethods))) {
      lua_pushnil(L);
    }
    return 1;
  });
}

int MessageNewIndex(lua_State* L) {
  auto& m = *Check<std::shared_ptr<XapMessage>>(L, 1, kMessageMeta);
  return Protect(L, [&] {
    const std::string name = ToLower(ArgText(L, 2));
    std::string value = ArgText(L, 3);
    if (name == "msgclass") {
      m->SetMsgClass(std::move(value));
    } else if (name == "msgsource") {
      m->SetMsgSource(std::move(value));
    } else if (name == "msgtarget") {
      m->SetMsgTarget(std::move(value));
    } else if (name == "msguid") {
      m->SetMsgUID(std::move(value));
    } else {
      throw ScriptArgError("XapMessage has no property " + ArgText(L, 2));
    }
    return 0;
  });
}

// Queue.
int QueueAdd(lua_State* L) {
  Queue* q = Self<Queue>(L, kQueueMeta);
  return Protect(L, [&] { return q->Add(ArgText(L, 1)), 0; });
}
int QueueRetryCount(lua_State* L) {
  Queue* q = Self<Queue>(L, kQueueMeta);
  return Protect(L, [&] { return q->SetRetryCount(ArgInteger(L, 1, "RetryCount")), 0; });
}

int QueueIndex(lua_State* L) {
  auto* q = Check<Queue>(L, 1, kQueueMeta);
  return Protect(L, [&] {
    const std::string name = ToLower(ArgText(L, 2));
    if (name == "retry") return PushText(L, q->Retry()), 1;
    if (name == "data") return PushText(L, q->data()), 1;
    static constexpr Member kMethods[] = {{"add", QueueAdd}, {"retrycount", QueueRetryCount}};
    if (!PushMethod(L, name, std::begin(kMethods), std::end(kMethods))) lua_pushnil(L);
    return 1;
  });
}

int QueueNewIndex(lua_State* L) {
  auto* q = Check<Queue>(L, 1, kQueueMeta);
  return Protect(L, [&] {
    const std::string name = ToLower(ArgText(L, 2));
    if (name == "add") {
      q->Add(ArgText(L, 3));
    } else if (name == "retrycount") {
      q->SetRetryCount(ArgInteger(L, 3, "RetryCount"));
    } else {
      throw ScriptArgError("Queue has no property " + ArgText(L, 2));
    }
    return 0;
  });
}

// The process object of a spawned job (read-only).
int ProcessIndex(lua_State* L) {
  auto& job = *Check<std::shared_ptr<SpawnedJob>>(L, 1, kProcessMeta);
  return Protect(L, [&] {
    const std::string name = ToLower(ArgText(L, 2));
    if (name == "processid") return lua_pushinteger(L, job->ProcessID()), 1;
    if (name == "status") return lua_pushinteger(L, job->Status()), 1;
    if (name == "exitcode") return lua_pushinteger(L, job->ExitCode()), 1;
    return lua_pushnil(L), 1;
  });
}

// Ends a metatable: getmetatable on the object gives this text, so no
// script reaches the metatable or its finalizer.
void Seal(lua_State* L) {
  lua_pushliteral(L, "protected");
  lua_setfield(L, -2, "__metatable");
  lua_pop(L, 1);
}

}  // namespace

void ScriptCollection::Add(std::string key, std::string value) {
  if (!index_.Add(key, entries_.size())) return;
  entries_.emplace_back(std::move(key), std::move(value));
}

const std::string* ScriptCollection::Find(std::string_view key) const {
  const size_t* i = index_.Find(key);
  return i ? &entries_[*i].second : nullptr;
}

void RegisterScriptObjects(lua_State* L) {
  luaL_newmetatable(L, kCollectionMeta);
  const luaL_Reg collection[] = {{"__index", CollectionIndex},
                                 {"__len", CollectionLen},
                                 {"__pairs", CollectionPairs},
                                 {"__gc", Destroy<ScriptCollection, kCollectionMeta>},
                                 {nullptr, nullptr}};
  luaL_setfuncs(L, collection, 0);
  Seal(L);

  luaL_newmetatable(L, kMessageMeta);
  const luaL_Reg message[] = {{"__index", MessageIndex},
                              {"__newindex", MessageNewIndex},
                              {"__gc", Destroy<std::shared_ptr<XapMessage>, kMessageMeta>},
                              {nullptr, nullptr}};
  luaL_setfuncs(L, message, 0);
  Seal(L);

  luaL_newmetatable(L, kQueueMeta);
  const luaL_Reg queue[] = {{"__index", QueueIndex},
                            {"__newindex", QueueNewIndex},
                            {"__gc", Destroy<Queue, kQueueMeta>},
                            {nullptr, nullptr}};
  luaL_setfuncs(L, queue, 0);
  Seal(L);

  luaL_newmetatable(L, kProcessMeta);
  const luaL_Reg process[] = {{"__index", ProcessIndex},
                              {"__gc", Destroy<std::shared_ptr<SpawnedJob>, kProcessMeta>},
                              {nullptr, nullptr}};
  luaL_setfuncs(L, process, 0);
  Seal(L);
}

void PushCollection(lua_State* L, ScriptCollection collection) {
  NewObject(L, kCollectionMeta, std::move(collection));
}

void PushXapMessage(lua_State* L, std::shared_ptr<XapMessage> message) {
  NewObject(L, kMessageMeta, std::move(message));
}

void PushQueue(lua_State* L) { NewObject(L, kQueueMeta, Queue()); }

bool PushLocalObject(lua_State* L, std::string_view progid) {
  if (EqualsNoCase(progid, "Tagwell.Queue")) {
    PushQueue(L);
  } else if (EqualsNoCase(progid, "Tagwell.XapMessage")) {
    PushXapMessage(L, std::make_shared<XapMessage>());
  } else {
    return false;
  }
  return true;
}

void PushProcess(lua_State* L, std::shared_ptr<SpawnedJob> job) {
  NewObject(L, kProcessMeta, std::move(job));
}

}  // namespace tagvane
