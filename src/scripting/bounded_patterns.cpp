#include "scripting/bounded_patterns.h"

#include <cctype>
#include <cstring>
#include <lua.hpp>

#include "scripting/script_engine.h"

namespace tagvane {
namespace {

constexpr int kMaxCaptures = 32;
constexpr int kMaxDepth = 200;  // nested match calls before "pattern too complex"
constexpr ptrdiff_t kUnfinished = -1;
constexpr ptrdiff_t kPosition = -2;
// Steps between two looks at the clock.
constexpr unsigned kStepsPerCheck = 4096;

struct Capture {
  const char* init;
  ptrdiff_t len;
};

struct Matcher {
  const char* src_init;
  const char* src_end;
  const char* p_end;
  lua_State* L;
  int level;
  int depth;
  unsigned steps;
  Capture capture[kMaxCaptures];
};

unsigned char U(char c) { return static_cast<unsigned char>(c); }

// Counts n steps of work and looks at the deadline now and then.
void Step(Matcher* m, size_t n = 1) {
  m->steps += static_cast<unsigned>(n > kStepsPerCheck ? kStepsPerCheck : n);
  if (m->steps < kStepsPerCheck) return;
  m->steps = 0;
  ScriptEngine::CheckDeadline(m->L);
}

const char* ClassEnd(Matcher* m, const char* p) {
  const char c = *p++;
  if (c == '%') {
    if (p == m->p_end) luaL_error(m->L, "malformed pattern (ends with '%%')");
    return p + 1;
  }
  if (c == '[') {
    if (p < m->p_end && *p == '^') ++p;
    do {  // the first character after '[' or '[^' is taken as it stands, ']' too
      if (p == m->p_end) luaL_error(m->L, "malformed pattern (missing ']')");
      if (*p++ == '%' && p < m->p_end) ++p;
    } while (p == m->p_end || *p != ']');
    return p + 1;
  }
  return p;
}

bool ClassMatches(int c, int cl) {
  bool r;
  switch (std::tolower(cl)) {
    case 'a': r = std::isalpha(c); break;
    case 'c': r = std::iscntrl(c); break;
    case 'd': r = std::isdigit(c); break;
    case 'g': r = std::isgraph(c); break;
    case 'l': r = std::islower(c); break;
    case 'p': r = std::ispunct(c); break;
    case 's': r = std::isspace(c); break;
    case 'u': r = std::isupper(c); break;
    case 'w': r = std::isalnum(c); break;
    case 'x': r = std::isxdigit(c); break;
    default: return cl == c;
  }
  return std::isupper(cl) ? !r : r;
}

// p at '[', ec at the closing ']'.
bool BracketMatches(int c, const char* p, const char* ec) {
  bool found = true;
  if (*(p + 1) == '^') {
    found = false;
    ++p;
  }
  while (++p < ec) {
    if (*p == '%') {
      ++p;
      if (ClassMatches(c, U(*p))) return found;
    } else if (*(p + 1) == '-' && p + 2 < ec) {
      p += 2;
      if (U(*(p - 2)) <= c && c <= U(*p)) return found;
    } else if (U(*p) == c) {
      return found;
    }
  }
  return !found;
}

bool SingleMatch(Matcher* m, const char* s, const char* p, const char* ep) {
  if (s >= m->src_end) return false;
  const int c = U(*s);
  switch (*p) {
    case '.': return true;
    case '%': return ClassMatches(c, U(*(p + 1)));
    case '[': return BracketMatches(c, p, ep - 1);
    default: return U(*p) == c;
  }
}

const char* Match(Matcher* m, const char* s, const char* p);

const char* MatchBalance(Matcher* m, const char* s, const char* p) {
  if (p + 1 >= m->p_end) luaL_error(m->L, "malformed pattern (missing arguments to '%%b')");
  if (s >= m->src_end || *s != *p) return nullptr;
  const char open = *p, close = *(p + 1);
  int depth = 1;
  const char* start = s;
  while (++s < m->src_end) {
    if (*s == close) {
      if (--depth == 0) {
        Step(m, static_cast<size_t>(s - start));
        return s + 1;
      }
    } else if (*s == open) {
      ++depth;
    }
  }
  Step(m, static_cast<size_t>(s - start));
  return nullptr;
}

const char* MaxExpand(Matcher* m, const char* s, const char* p, const char* ep) {
  ptrdiff_t i = 0;
  while (SingleMatch(m, s + i, p, ep)) ++i;
  Step(m, static_cast<size_t>(i));
  for (; i >= 0; --i) {
    if (const char* r = Match(m, s + i, ep + 1)) return r;
  }
  return nullptr;
}

const char* MinExpand(Matcher* m, const char* s, const char* p, const char* ep) {
  for (;;) {
    if (const char* r = Match(m, s, ep + 1)) return r;
    if (!SingleMatch(m, s, p, ep)) return nullptr;
    ++s;
  }
}

const char* StartCapture(Matcher* m, const char* s, const char* p, ptrdiff_t what) {
  if (m->level >= kMaxCaptures) luaL_error(m->L, "too many captures");
  m->capture[m->level].init = s;
  m->capture[m->level].len = what;
  ++m->level;
  const char* r = Match(m, s, p);
  if (!r) --m->level;
  return r;
}

const char* EndCapture(Matcher* m, const char* s, const char* p) {
  int l = m->level - 1;
  while (l >= 0 && m->capture[l].len != kUnfinished) --l;
  if (l < 0) luaL_error(m->L, "invalid pattern capture");
  m->capture[l].len = s - m->capture[l].init;
  const char* r = Match(m, s, p);
  if (!r) m->capture[l].len = kUnfinished;
  return r;
}

int CaptureIndex(Matcher* m, int c) {
  const int l = c - '1';
  if (l < 0 || l >= m->level || m->capture[l].len == kUnfinished) {
    luaL_error(m->L, "invalid capture index %%%d", l + 1);
  }
  return l;
}

const char* MatchCapture(Matcher* m, const char* s, int c) {
  const int l = CaptureIndex(m, c);
  const size_t len = static_cast<size_t>(m->capture[l].len);
  Step(m, len);
  if (static_cast<size_t>(m->src_end - s) >= len && std::memcmp(m->capture[l].init, s, len) == 0) {
    return s + len;
  }
  return nullptr;
}

const char* Match(Matcher* m, const char* s, const char* p) {
  if (m->depth-- == 0) luaL_error(m->L, "pattern too complex");
  Step(m);
  while (p != m->p_end && s) {
    const char* ep = nullptr;
    switch (*p) {
      case '(':
        if (p + 1 < m->p_end && *(p + 1) == ')') {
          s = StartCapture(m, s, p + 2, kPosition);
        } else {
          s = StartCapture(m, s, p + 1, kUnfinished);
        }
        goto done;
      case ')':
        s = EndCapture(m, s, p + 1);
        goto done;
      case '$':
        if (p + 1 == m->p_end) {
          if (s != m->src_end) s = nullptr;
          goto done;
        }
        break;
      case '%':
        if (p + 1 >= m->p_end) break;  // ClassEnd reports it
        if (*(p + 1) == 'b') {
          s = MatchBalance(m, s, p + 2);
          if (s) p += 4;
          continue;
        }
        if (*(p + 1) == 'f') {
          p += 2;
          if (p >= m->p_end || *p != '[') luaL_error(m->L, "missing '[' after '%%f' in pattern");
          ep = ClassEnd(m, p);
          const int prev = s == m->src_init ? '\0' : U(*(s - 1));
          const int cur = s < m->src_end ? U(*s) : '\0';
          if (!BracketMatches(prev, p, ep - 1) && BracketMatches(cur, p, ep - 1)) {
            p = ep;
            continue;
          }
          s = nullptr;
          goto done;
        }
        if (std::isdigit(U(*(p + 1)))) {
          s = MatchCapture(m, s, U(*(p + 1)));
          if (s) p += 2;
          continue;
        }
        break;
      default:
        break;
    }
    // A single character class, maybe followed by a repetition.
    ep = ClassEnd(m, p);
    const char rep = ep < m->p_end ? *ep : '\0';
    if (!SingleMatch(m, s, p, ep)) {
      if (rep == '*' || rep == '?' || rep == '-') {
        p = ep + 1;  // accepts the empty match
        continue;
      }
      s = nullptr;
      goto done;
    }
    switch (rep) {
      case '?':
        if (const char* r = Match(m, s + 1, ep + 1)) {
          s = r;
          goto done;
        }
        p = ep + 1;
        continue;
      case '+': s = MaxExpand(m, s + 1, p, ep); goto done;
      case '*': s = MaxExpand(m, s, p, ep); goto done;
      case '-': s = MinExpand(m, s, p, ep); goto done;
      default:
        ++s;
        p = ep;
        continue;
    }
  }
done:
  ++m->depth;
  return s;
}

void Prepare(Matcher* m, lua_State* L, const char* s, size_t ls, const char* p, size_t lp) {
  m->L = L;
  m->src_init = s;
  m->src_end = s + ls;
  m->p_end = p + lp;
  m->steps = 0;
}

void Restart(Matcher* m) {
  m->level = 0;
  m->depth = kMaxDepth;
}

// Pushes capture i of the match s..e (the whole match when there are none).
void PushCapture(Matcher* m, int i, const char* s, const char* e) {
  if (i >= m->level) {
    if (i != 0) luaL_error(m->L, "invalid capture index %%%d", i + 1);
    lua_pushlstring(m->L, s, static_cast<size_t>(e - s));
    return;
  }
  const ptrdiff_t len = m->capture[i].len;
  if (len == kUnfinished) luaL_error(m->L, "unfinished capture");
  if (len == kPosition) {
    lua_pushinteger(m->L, (m->capture[i].init - m->src_init) + 1);
  } else {
    lua_pushlstring(m->L, m->capture[i].init, static_cast<size_t>(len));
  }
}

int PushCaptures(Matcher* m, const char* s, const char* e) {
  const int n = (m->level == 0 && s) ? 1 : m->level;
  luaL_checkstack(m->L, n, "too many captures");
  for (int i = 0; i < n; ++i) PushCapture(m, i, s, e);
  return n;
}

bool HasSpecials(const char* p, size_t lp) {
  for (size_t i = 0; i < lp; ++i) {
    if (std::strchr("^$*+?.([%-", p[i]) && p[i] != '\0') return true;
  }
  return false;
}

// Lua's start position rule: negative counts from the end, 0 is 1.
size_t StartIndex(lua_Integer pos, size_t len) {
  if (pos > 0) return static_cast<size_t>(pos);
  if (pos == 0) return 1;
  if (pos < -static_cast<lua_Integer>(len)) return 1;
  return len + static_cast<size_t>(pos) + 1;
}

int FindOrMatch(lua_State* L, bool find) {
  size_t ls = 0, lp = 0;
  const char* s = luaL_checklstring(L, 1, &ls);
  const char* p = luaL_checklstring(L, 2, &lp);
  const size_t init = StartIndex(luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) {
    luaL_pushfail(L);
    return 1;
  }
  if (find && (lua_toboolean(L, 4) || !HasSpecials(p, lp))) {
    // memmem is linear; a naive search is not.
    const void* at = lp == 0 ? s + init : memmem(s + init, ls - init, p, lp);
    if (!at) {
      luaL_pushfail(L);
      return 1;
    }
    const char* hit = static_cast<const char*>(at);
    lua_pushinteger(L, (hit - s) + 1);
    lua_pushinteger(L, static_cast<lua_Integer>((hit - s) + lp));
    return 2;
  }
  Matcher m;
  const bool anchor = lp > 0 && *p == '^';
  if (anchor) {
    ++p;
    --lp;
  }
  Prepare(&m, L, s, ls, p, lp);
  const char* s1 = s + init;
  do {
    Restart(&m);
    if (const char* e = Match(&m, s1, p)) {
      if (!find) return PushCaptures(&m, s1, e);
      lua_pushinteger(L, (s1 - s) + 1);
      lua_pushinteger(L, e - s);
      return PushCaptures(&m, nullptr, nullptr) + 2;
    }
  } while (s1++ < m.src_end && !anchor);
  luaL_pushfail(L);
  return 1;
}

int Find(lua_State* L) { return FindOrMatch(L, true); }
int MatchFn(lua_State* L) { return FindOrMatch(L, false); }

// The gmatch iterator: upvalues subject, pattern, next position, last match
// end (-1 before the first).
int GmatchNext(lua_State* L) {
  size_t ls = 0, lp = 0;
  const char* s = lua_tolstring(L, lua_upvalueindex(1), &ls);
  const char* p = lua_tolstring(L, lua_upvalueindex(2), &lp);
  const lua_Integer last = lua_tointeger(L, lua_upvalueindex(4));
  Matcher m;
  Prepare(&m, L, s, ls, p, lp);
  for (const char* src = s + lua_tointeger(L, lua_upvalueindex(3)); src <= m.src_end; ++src) {
    Restart(&m);
    const char* e = Match(&m, src, p);
    if (e && e - s != last) {
      lua_pushinteger(L, e - s);
      lua_pushvalue(L, -1);
      lua_replace(L, lua_upvalueindex(3));
      lua_replace(L, lua_upvalueindex(4));
      return PushCaptures(&m, src, e);
    }
  }
  return 0;
}

int Gmatch(lua_State* L) {
  size_t ls = 0;
  luaL_checklstring(L, 1, &ls);
  luaL_checkstring(L, 2);
  size_t init = StartIndex(luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) init = ls + 1;  // nothing to match
  lua_settop(L, 2);
  lua_pushinteger(L, static_cast<lua_Integer>(init));
  lua_pushinteger(L, -1);
  lua_pushcclosure(L, GmatchNext, 4);
  return 1;
}

void AddReplacementText(Matcher* m, luaL_Buffer* b, const char* s, const char* e) {
  size_t l = 0;
  lua_State* L = m->L;
  const char* news = lua_tolstring(L, 3, &l);
  const char* end = news + l;
  for (const char* p = news; p < end; ++p) {
    if (*p != '%') {
      luaL_addchar(b, *p);
      continue;
    }
    ++p;
    if (p < end && *p == '%') {
      luaL_addchar(b, '%');
    } else if (p < end && std::isdigit(U(*p))) {
      if (*p == '0') {
        luaL_addlstring(b, s, static_cast<size_t>(e - s));
      } else {
        PushCapture(m, *p - '1', s, e);
        luaL_tolstring(L, -1, nullptr);
        lua_remove(L, -2);
        luaL_addvalue(b);
      }
    } else {
      luaL_error(L, "invalid use of '%c' in replacement string", '%');
    }
  }
}

void AddReplacement(Matcher* m, luaL_Buffer* b, const char* s, const char* e, int type) {
  lua_State* L = m->L;
  if (type == LUA_TFUNCTION) {
    lua_pushvalue(L, 3);
    const int n = PushCaptures(m, s, e);
    lua_call(L, n, 1);
  } else if (type == LUA_TTABLE) {
    PushCapture(m, 0, s, e);
    lua_gettable(L, 3);
  } else {
    AddReplacementText(m, b, s, e);
    return;
  }
  if (!lua_toboolean(L, -1)) {  // nil or false keeps the original text
    lua_pop(L, 1);
    luaL_addlstring(b, s, static_cast<size_t>(e - s));
  } else if (!lua_isstring(L, -1)) {
    luaL_error(L, "invalid replacement value (a %s)", luaL_typename(L, -1));
  } else {
    luaL_addvalue(b);
  }
}

void CheckResultSize(lua_State* L, luaL_Buffer* b) {
  if (luaL_bufflen(b) > kMaxScriptText) {
    luaL_error(L, "string.gsub: the result is larger than the limit of %d bytes",
               static_cast<int>(kMaxScriptText));
  }
}

int Gsub(lua_State* L) {
  size_t ls = 0, lp = 0;
  const char* src = luaL_checklstring(L, 1, &ls);
  const char* p = luaL_checklstring(L, 2, &lp);
  const int type = lua_type(L, 3);
  const lua_Integer max_n = luaL_optinteger(L, 4, static_cast<lua_Integer>(ls) + 1);
  luaL_argexpected(L,
                   type == LUA_TNUMBER || type == LUA_TSTRING || type == LUA_TFUNCTION ||
                       type == LUA_TTABLE,
                   3, "string/function/table");
  const bool anchor = lp > 0 && *p == '^';
  if (anchor) {
    ++p;
    --lp;
  }
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  Matcher m;
  Prepare(&m, L, src, ls, p, lp);
  const char* last = nullptr;
  lua_Integer n = 0;
  while (n < max_n) {
    Restart(&m);
    const char* e = Match(&m, src, p);
    if (e && e != last) {
      ++n;
      AddReplacement(&m, &b, src, e, type);
      src = last = e;
      CheckResultSize(L, &b);
    } else if (src < m.src_end) {
      luaL_addchar(&b, *src++);
    } else {
      break;
    }
    if (anchor) break;
  }
  luaL_addlstring(&b, src, static_cast<size_t>(m.src_end - src));
  CheckResultSize(L, &b);
  luaL_pushresult(&b);
  lua_pushinteger(L, n);
  return 2;
}

}  // namespace

void InstallBoundedPatterns(lua_State* L) {
  const luaL_Reg functions[] = {
      {"find", Find}, {"match", MatchFn}, {"gmatch", Gmatch}, {"gsub", Gsub}, {nullptr, nullptr}};
  luaL_setfuncs(L, functions, 0);
}

}  // namespace tagvane
