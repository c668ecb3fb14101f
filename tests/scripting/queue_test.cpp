// Queued and message-triggered scripts: the queue tick, the periodic timer,
// message capture into records, subscriptions, and records kept over a
// restart.
#include "script_fixture.h"
#include "scripting/device_class.h"
#include "xap/xap_message.h"

namespace tagvane::test {
namespace {

XapMessage Parsed(const std::string& uid, const std::string& body) {
  XapMessage m;
  m.FromXap("xap-header\n{\nv=13\nhop=1\nuid=" + uid +
            "\nclass=Sensor.Event\nsource=acme.sensor.hall\n}\n" + body);
  return m;
}

const std::string kBody =
    "Input.State\n{\nstate=on\nState=off\ntext=\n}\nextra\n{\nlevel=5\n}\n";

using Queued = ScriptFixture;

TEST_F(Queued, TextsRunInOrderInOneTickIncludingThoseQueuedWhileRunning) {
  Script("Tagvane.txt", "function Main(t) WriteLog('main', t); if t == 'a' then queue('c') end end\n");
  StartApp();
  lua_State* L = host_->Engine().State();
  lua_pushlightuserdata(L, host_);
  lua_pushcclosure(
      L,
      [](lua_State* S) {
        static_cast<ScriptHost*>(lua_touserdata(S, lua_upvalueindex(1)))->QueueScript(lua_tostring(S, 1));
        return 0;
      },
      1);
  lua_setglobal(L, "queue");
  app_->GetHooks().QueueScript("a");
  app_->GetHooks().QueueScript("b");
  EXPECT_EQ(host_->Queue().QueueTimer().Interval(), 5);
  Tick(4);
  EXPECT_TRUE(WriteLogs().empty());
  Tick(1);
  EXPECT_EQ(WriteLogs(), (std::vector<std::string>{"main=a", "main=b", "main=c"}));
  EXPECT_FALSE(host_->Queue().QueueTimer().Enabled());
}

TEST_F(Queued, AFloodKeepsTheNewestTextsAndSaysHowManyWentMissing) {
  StartApp();
  for (size_t i = 0; i < ScriptQueue::kLimit + 5; ++i) host_->QueueScript(std::to_string(i));
  EXPECT_EQ(host_->Queue().size(), ScriptQueue::kLimit);
  EXPECT_EQ(host_->Queue().Dropped(), 5u);
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u) << "one report a minute";
  EXPECT_NE(events[0].find("Script queue full"), std::string::npos);
}

TEST_F(Queued, PeriodicIntervalsOnTheManualClock) {
  Script("Tagvane.txt", "function Main(t) WriteLog('periodic', '[' .. t .. ']') end\n");
  const auto calls_after = [&](const std::string& setting, int seconds) {
    StartApp("PeriodicScriptInterval=" + setting + "\r\n");
    for (int s = 0; s < seconds; ++s) Tick(1000);
    const size_t n = WriteLogs().size();
    app_.reset();
    seen_events_ = 0;
    return n;
  };
  EXPECT_EQ(calls_after("90", 269), 2u);
  EXPECT_EQ(calls_after("90", 271), 3u);
  EXPECT_EQ(calls_after("60", 180), 2u);
  EXPECT_EQ(calls_after("60", 181), 3u);
  EXPECT_EQ(calls_after("150", 301), 2u);
  EXPECT_EQ(calls_after("", 600), 0u);
  EXPECT_EQ(calls_after("-30", 600), 0u);
  // A setting that turns negative between ticks stops the timer at the next call.
  StartApp("PeriodicScriptInterval=30\r\n");
  app_->GetSettings().PeriodicScriptInterval = "-5";
  Tick(30010);
  EXPECT_FALSE(app_->PeriodicTimer().Enabled());
  EXPECT_EQ(WriteLogs(), std::vector<std::string>{"periodic=[]"});
}

TEST_F(Queued, CaptureFillsTheRecordAndQueuesItsNameWhenTheFilterHasAnEvent) {
  Script("Tagvane.txt",
         "function Main(t) local c = Request(t)\n"
         "  WriteLog(t, c['input.state.state'] .. '/' .. c['input.state.text'] .. '/' .. c[3] ..\n"
         "    '/' .. #c .. '/' .. TagList(t)[1] .. '/' .. Sequence(t)) end\n");
  StartApp("[Received]\r\nacme.sensor.hall~Sensor.Event=Door;run\r\n"
           "acme.sensor.other~Sensor.Event=Quiet;\r\n[Devices]\r\nDoor=;old\r\nQuiet=\r\n");
  XapMessage m = Parsed("FF.1:00", kBody);
  app_->GetHooks().CaptureMessage(m);
  const DeviceClass& door = **app_->Tables().ScriptDeviceTable.Find("door");
  EXPECT_EQ(door.Sequence, 1);
  EXPECT_EQ(door.LastChange, clock_.Now());
  EXPECT_EQ(door.MessageKeyList.Keys(),
            (std::vector<std::string>{"input.state.state", "input.state.text", "extra.level"}));
  Tick();
  EXPECT_EQ(WriteLogs(), std::vector<std::string>{"Door=on//5/3/input.state.state/1"});
  // An empty event text updates the record but queues nothing.
  XapMessage quiet;
  quiet.FromXap("xap-header\n{\nclass=Sensor.Event\nsource=acme.sensor.other\n}\nb\n{\nk=v\n}\n");
  host_->CaptureMessage(quiet);
  EXPECT_EQ((*app_->Tables().ScriptDeviceTable.Find("quiet"))->Sequence, 2);
  EXPECT_EQ(host_->Queue().size(), 0u);
  EXPECT_EQ(host_->CaptureSequence(), 2);
}

TEST_F(Queued, ACapturedMessageSurvivesARestart) {
  const std::string ini = "[Received]\r\nacme.sensor.hall~Sensor.Event=Door;run\r\n[Devices]\r\nDoor=\r\n";
  StartApp(ini);
  XapMessage m = Parsed("FF.1:00", kBody);
  host_->CaptureMessage(m);
  app_->Shutdown();
  app_.reset();
  app_ = std::make_unique<App>(test::TestAppOptions(dir_.Path(), &clock_, &timers_));
  host_ = &InstallScripting(*app_);
  app_->Start();
  EXPECT_EQ(Eval("Request('Door')['input.state.state'] .. Request('door')['extra.level'] .. "
                 "LastChange('door')"),
            "on5" + FormatGeneralDate(clock_.Now()));
}

TEST_F(Queued, SubscriptionsGetTheirMessagesInOrderThroughTheQueue) {
  Script("sub.txt",
         "function Main(handle)\n"
         "  local m = GetXapMessage(handle)\n"
         "  while m do\n"
         "    WriteLog('sub' .. handle, m.MsgUID .. ' ' .. m:GetItem('input.state', 'state') ..\n"
         "      ' ' .. m.MsgSection[2] .. ' ' .. m.msgCollection(1)['level'])\n"
         "    m = xap:GetXapMessage(handle)\n"
         "  end\n"
         "end\n");
  StartApp();
  Eval("SelectXapMessage('', 'sensor.event', 'input.state', 'acme.sensor.*', 'sub.txt') or "
       "SelectXapMessage('', 'SENSOR.EVENT', 'Input.State', 'ACME.sensor.*', 'SUB.txt') or "
       "SelectXapMessage('', 'other.class', '', '', 'sub.txt')");
  ASSERT_EQ(host_->Subscriptions().List().size(), 2u);
  XapMessage first = Parsed("FF.1:00", kBody), second = Parsed("FF.2:00", kBody);
  host_->CaptureMessage(first);
  host_->CaptureMessage(second);
  EXPECT_TRUE(WriteLogs().empty()) << "never inside the receive handler";
  EXPECT_EQ(host_->Queue().size(), 1u) << "one run per subscription";
  Tick();
  EXPECT_EQ(WriteLogs(),
            (std::vector<std::string>{"sub1=FF.1:00 on extra level=5", "sub1=FF.2:00 on extra level=5"}));
  EXPECT_EQ(host_->Subscriptions().StoredMessages(), 0u) << "consumed handles leave the store";
  EXPECT_EQ(Eval("tostring(GetXapMessage('1')) .. tostring(GetXapMessage('9'))"), "nilnil");

  Eval("DeSelectXapMessage('', 'Sensor.Event', 'input.state', 'acme.sensor.*', 'sub.txt')");
  ASSERT_EQ(host_->Subscriptions().List().size(), 1u);
  host_->CaptureMessage(first);
  EXPECT_EQ(host_->Subscriptions().StoredMessages(), 0u);
  EXPECT_EQ(host_->Queue().size(), 0u);
}

TEST_F(Queued, PendingMessagesAreBoundedPerSubscription) {
  StartApp();
  Eval("SelectXapMessage('', 'sensor.event', '', '', 'none.txt')");
  XapMessage m = Parsed("FF.1:00", kBody);
  for (size_t i = 0; i < SubscriptionList::kMaxPendingPerSubscription + 3; ++i) host_->CaptureMessage(m);
  EXPECT_EQ(host_->Subscriptions().StoredMessages(), SubscriptionList::kMaxPendingPerSubscription);
  EXPECT_TRUE(Events().empty()) << "the count goes out once the flood is over";
  Tick(1000);  // the run of a missing script finds nothing; the handles stay
  EXPECT_EQ(host_->Subscriptions().List()[0]->MessageCount(), 1000);
  // Every dropped message is counted, in the line and in /metrics.
  EXPECT_EQ(Events(), std::vector<std::string>{
                          "Subscribed messages dropped: a script is not reading them (3)"});
  EXPECT_EQ(app_->GetMetrics().Value("tagvane_script_messages_dropped_total"), 3);
}

}  // namespace
}  // namespace tagvane::test
