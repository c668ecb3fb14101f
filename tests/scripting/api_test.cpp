// The API object: device members, NightTime, collections, the network and
// INI members, CreateObject and Spawn, through the real engine.
#include "receiver/rfid_device.h"
#include "script_fixture.h"
#include "scripting/device_class.h"

namespace tagvane::test {
namespace {

// Body separators made visible: items "|", key and value "=".
std::string Readable(std::string s) {
  for (char& c : s) c = c == '\0' ? '|' : c == '\x01' ? '=' : c;
  return s;
}

class Api : public ScriptFixture {
 protected:
  void SetUp() override { StartApp(); }
  DevicePtr AddTag(const std::string& code, const std::string& tag, int16_t status) {
    auto device = std::make_shared<RFIDDevice>();
    device->SetDC(code);
    device->SetTag(tag);
    device->SetDeviceStatus(status);
    device->SetDeviceLastChange(MakeDateTime(2026, 12, 1, 10, 0, 0));
    app_->Tables().DeviceTable.Set(code, device);
    app_->Tables().TagTable.Set(tag, device);
    return device;
  }
};

TEST_F(Api, DeviceMembersOnUnknownAndKnownCodesInEveryCallForm) {
  const std::string now = FormatGeneralDate(clock_.Now());
  EXPECT_EQ(Eval("DeviceStatus('nope')"), "17");
  EXPECT_EQ(Eval("xap.DeviceStatus('nope')"), "17");
  EXPECT_EQ(Eval("xap:DeviceStatus('nope')"), "17");
  EXPECT_EQ(Eval("xap.devicestatus('nope')"), "17");
  EXPECT_EQ(Eval("tostring(IsOn('nope')) .. tostring(IsOff('nope'))"), "falsefalse");
  EXPECT_EQ(Eval("DeviceValue('nope')"), "0");
  EXPECT_EQ(Eval("DeviceString('nope')"), "");
  EXPECT_EQ(Eval("DeviceLastChange('nope')"), now);
  EXPECT_EQ(Eval("SetDeviceValue('nope', 5) or SetDeviceStatus('nope', 2) or "
                 "SetDeviceString('nope', 's') or SetDeviceLastChange('nope', '01/01/2026 00:00:00') "
                 "or 'none'"),
            "none");
  EXPECT_TRUE(Events().empty());

  DevicePtr d = AddTag("____________1A2B", "Keys", kStatusOn);
  EXPECT_EQ(Eval("tostring(IsOn('____________1a2b')) .. DeviceStatus('____________1A2B')"), "true2");
  Eval("SetDeviceStatus('____________1A2B', '3') or SetDeviceString('____________1A2B', 'hello')"
       " or SetDeviceLastChange('____________1A2B', '02/12/2026 08:30:00')");
  EXPECT_EQ(d->DeviceStatus(), 3);
  EXPECT_EQ(d->DeviceString(), "hello");
  EXPECT_EQ(Eval("DeviceLastChange('____________1A2B')"), "02/12/2026 08:30:00");
  EXPECT_EQ(Eval("xap:IsOff('____________1A2B')"), "True");
  // Values that do not convert are run-time errors of the calling script.
  Eval("SetDeviceLastChange('____________1A2B', 'not a date')");
  Eval("SetDeviceValue('____________1A2B', 'abc')");
  Eval("SetDeviceStatus('____________1A2B', 70000)");
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_NE(events[0].find("Type mismatch: dDate is not a date"), std::string::npos) << events[0];
  EXPECT_NE(events[1].find("Type mismatch: iValue is not a number"), std::string::npos);
  EXPECT_NE(events[2].find("Overflow: iStatus"), std::string::npos);
  EXPECT_EQ(events[0].rfind("Script Run Error ", 0), 0u);
  EXPECT_EQ(d->DeviceLastChange(), MakeDateTime(2026, 12, 2, 8, 30));
}

TEST_F(Api, NightTimeFollowsTheReceivedSunriseAndSunset) {
  EXPECT_EQ(Eval("NightTime(30)"), "False");  // nothing received yet
  sunrise_ = "06:30";
  sunset_ = "19:45";
  const auto at = [&](int h, int m) {
    clock_.Set(MakeDateTime(2026, 12, 5, h, m));
    return Eval("NightTime('30')");
  };
  EXPECT_EQ(at(6, 0), "True");
  EXPECT_EQ(at(6, 1), "False");
  EXPECT_EQ(at(20, 14), "False");
  EXPECT_EQ(at(20, 15), "True");
  sunset_ = "7:45 PM";
  EXPECT_EQ(at(20, 14), "False");
  EXPECT_EQ(Eval("Sunrise() .. '-' .. xap.Sunset()"), "06:30-7:45 PM");
}

TEST_F(Api, RequestAndTagListGiveCollectionsOrNothing) {
  AddTag("____________1A2B", "Keys", kStatusOff);
  Script("c.txt",
         "function main()\n"
         "  local c = Request('KEYS')\n"
         "  local out = {c.value, c['LastChange'], #c, c[1], tostring(c[3])}\n"
         "  for k, v in pairs(c) do out[#out + 1] = k .. '=' .. v end\n"
         "  return table.concat(out, '|')\n"
         "end\n");
  EXPECT_EQ(ScriptValueText(host_->RunEx("c.txt", "main", "")),
            "OFF|01/12/2026 10:00:00|2|OFF|nil|value=OFF|lastchange=01/12/2026 10:00:00");
  EXPECT_EQ(Eval("tostring(Request('nobody')) .. tostring(TagList('nobody'))"), "nilnil");
  auto record = std::make_shared<DeviceClass>();
  record->Tag = "door";
  record->MessageList.Add("input.state.state", "on");
  record->MessageList.Add("input.state.text", "");
  record->MessageKeyList.Add("input.state.state", "input.state.state");
  record->MessageKeyList.Add("input.state.text", "input.state.text");
  app_->Tables().ScriptDeviceTable.Add("Door", record);
  EXPECT_EQ(Eval("Request('door')['Input.State.State'] .. #Request('door') .. TagList('DOOR')[2]"),
            "on2input.state.text");
  EXPECT_EQ(Eval("Sequence('door') .. ' ' .. Sequence('nobody')"), "0 -1");
  EXPECT_EQ(Eval("LastChange('nobody')"), FormatGeneralDate(clock_.Now()));
  // A record linked to a tag reports the tag's last change.
  record->Link = *app_->Tables().TagTable.Find("Keys");
  EXPECT_EQ(Eval("LastChange('door')"), "01/12/2026 10:00:00");
}

TEST_F(Api, NetworkMembersSendThroughSendXap) {
  Eval("WriteLog('Info', 'a\\0b') or X10('A1', 'on') or Response('Keys', 'x')"
       " or SendXapMessage('acme.x.y', 'c.l', 's.n', 'k\\1v', '', '', '') or SendUDPMessage('raw')");
  const auto& sent = app_->Outbox().StartupQueue();
  std::vector<std::string> bodies;
  for (const auto& m : sent) {
    if (m.MsgClass == "Homeseer.Event" && m.MsgData.find("Type\x01Info") != std::string::npos)
      bodies.push_back(m.MsgData);
    if (m.MsgClass == "xap-x10.request") bodies.push_back(m.MsgSection + "|" + m.MsgData);
    if (m.MsgClass == "c.l") bodies.push_back(m.MsgTarget + "|" + m.MsgSection + "|" + m.MsgData);
  }
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_EQ(Readable(bodies[0]),
            "Time=" + FormatGeneralDate(clock_.Now()) + "|Type=Info|Data=ab");
  EXPECT_EQ(Readable(bodies[1]), "xap-x10.request|device=A1|command=on|count=");
  EXPECT_EQ(Readable(bodies[2]), "acme.x.y|s.n|k=v");
  EXPECT_EQ(Events(), std::vector<std::string>{"Tag Keys no response function supported"});
  EXPECT_EQ(raw_, std::vector<std::string>{"raw"});
}

TEST_F(Api, IniMembersAndAppPath) {
  Eval("SaveIniSetting('Notes', 'Key', 'v1', 'notes.ini') or FlushIniCache()");
  EXPECT_EQ(ReadFile(dir_ / "Config/notes.ini"), "[NOTES]\r\nKey=v1\r\n");
  EXPECT_EQ(Eval("GetIniSetting('notes', 'KEY', 'dflt', 'Notes.ini') .. GetIniSetting('n', 'k', 'd', 'notes.ini')"),
            "v1d");
  EXPECT_EQ(Eval("GetINISection('Notes', 'notes.ini')"), "Key=v1");
  Eval("ClearINISection('Notes', 'notes.ini') or FlushIniCache()");
  EXPECT_EQ(Eval("GetINISection('Notes', 'notes.ini')"), "");
  EXPECT_EQ(Eval("GetAppPath()"), (dir_.Path() / "bin").string());
  Eval("GetIniSetting('a', 'b', 'c', '../outside.ini')");
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("outside the Config folder"), std::string::npos) << events[0];
}

TEST_F(Api, CreateObjectMakesMessagesQueuesAndApplications) {
  EXPECT_EQ(Eval("(function() local m = CreateObject('Tagwell.XapMessage')\n"
                 "m.MsgClass = 'a.b'; m.MsgSource = 'acme.x.y'; m.MsgTarget = ''; m.MsgUID = 'FF.1:00'\n"
                 "m:AddHeader(); m:AddSection('body'); m.AddItem('body', 'k', 'v')\n"
                 "return m:ToXap() end)()"),
            "xap-header\n{\nv=13\nhop=1\nuid=FF.1:00\nclass=a.b\nsource=acme.x.y\n}\nbody\n{\nk=v\n}\n");
  EXPECT_EQ(Eval("(function() local q = CreateObject('tagwell.queue'); q.Add = 'job'\n"
                 "return q.Retry .. q.Retry .. q.Retry .. '[' .. q.Retry .. ']' .. q.data end)()"),
            "jobjobjob[]job");
  EXPECT_EQ(Eval("(function() local q = CreateObject('Tagwell.Queue'); q:Add('x'); q:RetryCount(0)\n"
                 "return '[' .. q.Retry .. ']' end)()"),
            "[]");
  Eval("CreateObject('Acme.Thing')");
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("CreateObject: no object named \"Acme.Thing\""), std::string::npos);
  // A new application object resets the engine once the script returns.
  Script("Tagvane.txt", "count = 1\n"
                        "function Main(t) local a = CreateObject('Tagwell.Application')\n"
                        "  count = count + 1; a:WriteLog('n', count) end\n");
  app_->GetHooks().InitScriptControl();
  host_->QueueScript("1");
  host_->QueueScript("2");
  Tick();
  EXPECT_EQ(WriteLogs(), (std::vector<std::string>{"n=2", "n=2"}));
}

TEST_F(Api, SpawnWritesTheWrapperAndLogsTheStart) {
  EXPECT_EQ(Eval("tostring(Spawn('Job.TXT', 'Go', ' with param '))"), "nil");
  Eval("Spawn('Job', 'Go', 'p')");
  EXPECT_EQ(ReadFile(dir_ / "Scripts/~Job.wsf"),
            "<job id=\"Job\">\r\n<script language=\"VBScript\" src=\"..\\Job.txt\"/>\r\n"
            "<script language=\"VBScript\">\r\nDim xap\r\n"
            "Set xap = createobject(\"Tagwell.Application\")\r\nGo \"p\"\r\nSet xap = Nothing\r\n"
            "</Script>\r\n</Job>\r\n");
  EXPECT_EQ(Events(), (std::vector<std::string>{"Spawn ~Job.wsf", "Spawn ~Job.wsf"}));
  Eval("Spawn('../../evil', 'Go', 'p')");
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("WrapWSF", 0), 0u) << events[0];
}

}  // namespace
}  // namespace tagvane::test
