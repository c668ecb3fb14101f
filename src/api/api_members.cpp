#include "api/api_members.h"

#include "core/dates.h"
#include "core/text.h"
#include "scripting/script_files.h"
#include "scripting/script_host.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

using Args = std::span<const ApiArg>;
using json = nlohmann::ordered_json;

constexpr ApiParam Text(std::string_view name, ApiTextRule rule = ApiTextRule::kPlain) {
  return {name, ApiType::kText, false, rule};
}
constexpr ApiParam Written(std::string_view name) { return Text(name, ApiTextRule::kWritten); }
constexpr ApiParam Script(std::string_view name) { return Text(name, ApiTextRule::kScript); }
constexpr ApiParam OptionalFile(std::string_view name) {
  return {name, ApiType::kText, true, ApiTextRule::kWritten};
}

ApiAnswer Null() { return {}; }
ApiAnswer TextAnswer(std::string_view s) { return {"text", JsonText(s)}; }
ApiAnswer Number(int64_t n) { return {"number", n}; }
ApiAnswer Boolean(bool b) { return {"boolean", b}; }
ApiAnswer Date(DateTime t) { return {"date", FormatGeneralDate(t)}; }

ApiAnswer Collection(const std::optional<ScriptCollection>& c) {
  if (!c) return Null();
  ApiAnswer a{"collection", json::object()};
  for (size_t i = 0; i < c->size(); ++i) {
    const auto& [key, value] = c->At(i);
    a.result[JsonText(key).get<std::string>()] = JsonText(value);
  }
  return a;
}

ApiAnswer Message(const std::shared_ptr<XapMessage>& m) {
  if (!m) return Null();
  json sections = json::array();
  // The text parses back (FromXap) to the same header and sections.
  std::string text = "xap-header\n{\nv=12\nhop=1\nuid=" + m->MsgUID() + "\nclass=" +
                     m->MsgClass() + "\nsource=" + m->MsgSource() + "\n";
  if (m->MsgTarget() != "Unknown") text += "target=" + m->MsgTarget() + "\n";
  text += "}\n";
  const std::vector<std::string> names = m->MsgSection();
  for (size_t i = 0; i < names.size(); ++i) {
    const XapMessage::ItemMap* items = m->msgCollection(static_cast<int16_t>(i));
    if (!items) break;
    json section = {{"name", JsonText(names[i])}, {"items", json::object()}};
    text += names[i] + "\n{\n";
    for (const auto& [key, line] : *items) {
      const size_t eq = line.find('=');
      section["items"][JsonText(line.substr(0, eq)).get<std::string>()] =
          JsonText(eq == std::string::npos ? std::string() : line.substr(eq + 1));
      text += line + "\n";
    }
    text += "}\n";
    sections.push_back(std::move(section));
  }
  json result = {{"class", JsonText(m->MsgClass())},   {"source", JsonText(m->MsgSource())},
                 {"target", JsonText(m->MsgTarget())}, {"uid", JsonText(m->MsgUID())},
                 {"sections", std::move(sections)},   {"text", JsonText(text)}};
  return {"message", std::move(result)};
}

ApiAnswer Process(const std::shared_ptr<SpawnedJob>& job) {
  if (!job) return Null();
  return {"process", json{{"ProcessID", job->ProcessID()},
                          {"Status", job->Status()},
                          {"ExitCode", job->ExitCode()}}};
}

ApiAnswer Value(const ScriptValue& v) {
  if (const auto* b = std::get_if<bool>(&v)) return Boolean(*b);
  if (const auto* i = std::get_if<int64_t>(&v)) return Number(*i);
  if (const auto* d = std::get_if<double>(&v)) return {"number", *d};
  if (const auto* s = std::get_if<std::string>(&v)) return TextAnswer(*s);
  return Null();
}

const std::string& T(Args a, size_t i) { return a[i].text; }
ScriptApi& Api(ScriptHost& h) { return h.Api(); }

ApiAnswer CreateObject(ScriptHost& h, Args a) {
  if (!EqualsNoCase(T(a, 0), "Tagwell.Application")) {
    throw ApiCallError("no object named \"" + T(a, 0) + "\" can be created here");
  }
  h.InitScriptControl();
  return Null();
}

ApiAnswer Spawn(ScriptHost& h, Args a) {
  if (auto refusal = WrapperRefusal(T(a, 0), T(a, 1), T(a, 2))) {
    static constexpr std::string_view kNames[] = {"sScriptName", "sProcedure", "sScriptParm"};
    throw ApiCallError(refusal->reason, std::string(kNames[refusal->argument]));
  }
  return Process(Api(h).Spawn(T(a, 0), T(a, 1), T(a, 2)));
}

// Members not named here change state (ApiCallKind::kChanges).
void Classify(std::vector<ApiMember>& members) {
  static constexpr std::string_view kRunsCode[] = {
      "SendUDPMessage", "SelectXapMessage", "InitScriptControl", "ReadScript", "ClearINISection",
      "SaveIniSetting", "Spawn", "Run", "RunEx", "CreateObject"};
  static constexpr std::string_view kReads[] = {
      "GetAppPath", "TagList",     "Request", "LastChange", "Sequence",     "Sunrise",
      "Sunset",     "NightTime",   "DeviceValue", "DeviceString", "IsOn", "IsOff",
      "DeviceStatus", "DeviceLastChange", "JobStatus"};
  for (ApiMember& m : members) {
    for (std::string_view n : kRunsCode) {
      if (m.name == n) m.kind = ApiCallKind::kRunsCode;
    }
    for (std::string_view n : kReads) {
      if (m.name == n) m.kind = ApiCallKind::kReads;
    }
  }
}

std::vector<ApiMember> BuildMembers() {
  const ApiParam sDC = Text("sDC");
  const ApiParam sTag = Text("sTag");
  return {
      {"SendUDPMessage", {Text("sData", ApiTextRule::kRaw)}, "null",
       [](ScriptHost& h, Args a) { return Api(h).SendUDPMessage(T(a, 0)), Null(); }},
      {"SendXapMessage",
       {Written("sTarget"), Written("sClass"), Written("sSection"),
        Text("sData", ApiTextRule::kBody), Written("sSubaddress"), Written("sUIDIn"),
        Written("sTargetSubaddress")},
       "null",
       [](ScriptHost& h, Args a) {
         return Api(h).SendXapMessage(T(a, 0), T(a, 1), T(a, 2), T(a, 3), T(a, 4), T(a, 5),
                                      T(a, 6)),
                Null();
       }},
      {"SelectXapMessage",
       {Text("sTarget"), Text("sClass"), Text("sSection"), Text("sSource"), Script("sScriptIn")},
       "null",
       [](ScriptHost& h, Args a) {
         return Api(h).SelectXapMessage(T(a, 0), T(a, 1), T(a, 2), T(a, 3), T(a, 4)), Null();
       }},
      {"GetXapMessage", {Text("sScriptHandle")}, "message",
       [](ScriptHost& h, Args a) { return Message(Api(h).GetXapMessage(T(a, 0))); }},
      {"DeSelectXapMessage",
       {Text("sTarget"), Text("sClass"), Text("sSection"), Text("sSource"), Script("sScript")},
       "null",
       [](ScriptHost& h, Args a) {
         return Api(h).DeSelectXapMessage(T(a, 0), T(a, 1), T(a, 2), T(a, 3), T(a, 4)), Null();
       }},
      {"InitScriptControl", {}, "null",
       [](ScriptHost& h, Args) { return Api(h).InitScriptControl(), Null(); }},
      {"ReadScript", {}, "null", [](ScriptHost& h, Args) { return Api(h).ReadScript(), Null(); }},
      {"WriteLog", {Written("c"), Written("message")}, "null",
       [](ScriptHost& h, Args a) { return Api(h).WriteLog(T(a, 0), T(a, 1)), Null(); }},
      {"FlushIniCache", {}, "null",
       [](ScriptHost& h, Args) { return Api(h).FlushIniCache(), Null(); }},
      {"ClearINISection", {Written("Group"), Written("sFile")}, "null",
       [](ScriptHost& h, Args a) { return Api(h).ClearINISection(T(a, 0), T(a, 1)), Null(); }},
      {"GetINISection", {Text("Group"), OptionalFile("sFile")}, "text",
       [](ScriptHost& h, Args a) { return TextAnswer(Api(h).GetINISection(T(a, 0), T(a, 1))); }},
      {"GetIniSetting", {Text("Group"), Text("KEY"), Text("Default"), OptionalFile("sFile")},
       "text",
       [](ScriptHost& h, Args a) {
         return TextAnswer(Api(h).GetIniSetting(T(a, 0), T(a, 1), T(a, 2), T(a, 3)));
       }},
      {"SaveIniSetting", {Written("Group"), Written("KEY"), Written("Value"), OptionalFile("sFile")},
       "null",
       [](ScriptHost& h, Args a) {
         return Api(h).SaveIniSetting(T(a, 0), T(a, 1), T(a, 2), T(a, 3)), Null();
       }},
      {"GetAppPath", {}, "text", [](ScriptHost& h, Args) { return TextAnswer(Api(h).GetAppPath()); }},
      {"Spawn", {Script("sScriptName"), Written("sProcedure"), Written("sScriptParm")}, "process",
       Spawn},
      {"Run", {Script("sFilename")}, "null",
       [](ScriptHost& h, Args a) { return Api(h).Run(T(a, 0)), Null(); }},
      {"RunEx", {Script("sFilename"), Text("sProcedure"), Text("sParameter")}, "value",
       [](ScriptHost& h, Args a) { return Value(Api(h).RunEx(T(a, 0), T(a, 1), T(a, 2))); }},
      {"TagList", {sTag}, "collection",
       [](ScriptHost& h, Args a) { return Collection(Api(h).TagList(T(a, 0))); }},
      {"Request", {sTag}, "collection",
       [](ScriptHost& h, Args a) { return Collection(Api(h).Request(T(a, 0))); }},
      {"LastChange", {sTag}, "date",
       [](ScriptHost& h, Args a) { return Date(Api(h).LastChange(T(a, 0))); }},
      {"Sequence", {sTag}, "number",
       [](ScriptHost& h, Args a) { return Number(Api(h).Sequence(T(a, 0))); }},
      {"Sunrise", {}, "text", [](ScriptHost& h, Args) { return TextAnswer(Api(h).Sunrise()); }},
      {"Sunset", {}, "text", [](ScriptHost& h, Args) { return TextAnswer(Api(h).Sunset()); }},
      {"X10",
       {Written("sDevice"), Written("sCommand"),
        {"sBrightness", ApiType::kText, true, ApiTextRule::kWritten}},
       "null",
       [](ScriptHost& h, Args a) { return Api(h).X10(T(a, 0), T(a, 1), T(a, 2)), Null(); }},
      {"Response", {Written("sTag"), Text("sValue")}, "null",
       [](ScriptHost& h, Args a) { return Api(h).Response(T(a, 0), T(a, 1)), Null(); }},
      {"NightTime", {Text("iMinutesOffset")}, "boolean",
       [](ScriptHost& h, Args a) { return Boolean(Api(h).NightTime(T(a, 0))); }},
      {"DeviceValue", {sDC}, "number",
       [](ScriptHost& h, Args a) { return Number(Api(h).DeviceValue(T(a, 0))); }},
      // Status is a 16-bit field of the device record.
      {"SetDeviceValue", {sDC, {"iValue", ApiType::kInteger}}, "null",
       [](ScriptHost& h, Args a) { return Api(h).SetDeviceValue(T(a, 0), a[1].number), Null(); }},
      {"DeviceString", {sDC}, "text",
       [](ScriptHost& h, Args a) { return TextAnswer(Api(h).DeviceString(T(a, 0))); }},
      {"SetDeviceString", {sDC, Written("s")}, "null",
       [](ScriptHost& h, Args a) { return Api(h).SetDeviceString(T(a, 0), T(a, 1)), Null(); }},
      {"SetDeviceStatus", {sDC, {"iStatus", ApiType::kInteger}}, "null",
       [](ScriptHost& h, Args a) {
         return Api(h).SetDeviceStatus(T(a, 0), static_cast<int16_t>(a[1].number)), Null();
       }},
      {"IsOn", {sDC}, "boolean", [](ScriptHost& h, Args a) { return Boolean(Api(h).IsOn(T(a, 0))); }},
      {"IsOff", {sDC}, "boolean",
       [](ScriptHost& h, Args a) { return Boolean(Api(h).IsOff(T(a, 0))); }},
      {"DeviceStatus", {sDC}, "number",
       [](ScriptHost& h, Args a) { return Number(Api(h).DeviceStatus(T(a, 0))); }},
      {"DeviceLastChange", {sDC}, "date",
       [](ScriptHost& h, Args a) { return Date(Api(h).DeviceLastChange(T(a, 0))); }},
      {"SetDeviceLastChange", {sDC, {"dDate", ApiType::kDate}}, "null",
       [](ScriptHost& h, Args a) { return Api(h).SetDeviceLastChange(T(a, 0), a[1].date), Null(); }},
      {"CreateObject", {Text("progid")}, "null", CreateObject},
      {"JobStatus", {{"iProcessID", ApiType::kLong}}, "process",
       [](ScriptHost& h, Args a) { return Process(h.FindJob(a[0].number)); }},
  };
}

}  // namespace

const std::vector<ApiMember>& ApiMembers() {
  static const std::vector<ApiMember> members = [] {
    std::vector<ApiMember> m = BuildMembers();
    Classify(m);
    return m;
  }();
  return members;
}

const ApiMember* FindApiMember(std::string_view name) {
  for (const ApiMember& m : ApiMembers()) {
    if (EqualsNoCase(m.name, name)) return &m;
  }
  return nullptr;
}

nlohmann::ordered_json JsonText(std::string_view bytes) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      utf8 += ch;
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

bool TextFromJson(const std::string& utf8, std::string* bytes) {
  bytes->clear();
  bytes->reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      *bytes += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
      *bytes += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      return false;  // a code point above U+00FF
    }
  }
  return true;
}

}  // namespace tagvane
