// An App with the scripting subsystem, a manual clock and timers, in a
// temporary application folder: scripts are real files, the engine is the
// real one.
#pragma once

#include <gtest/gtest.h>

#include <lua.hpp>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/dates.h"
#include "scripting/script_host.h"
#include "support/app_options.h"
#include "support/test_support.h"

namespace tagvane::test {

class ScriptFixture : public ::testing::Test {
 protected:
  ScriptFixture() : timers_(clock_) {}

  void StartApp(const std::string& ini = "") {
    WriteFile(dir_ / "Config/Tagvane.ini", "[RFID]\r\n" + ini);
    app_ = std::make_unique<App>(
        TestAppOptions(dir_.Path(), app_clock_ ? app_clock_ : &clock_, &timers_));
    ScriptNetwork network;
    network.send_raw = [this](std::string_view t) { raw_.emplace_back(t); };
    network.sunrise = [this] { return sunrise_; };
    network.sunset = [this] { return sunset_; };
    host_ = &InstallScripting(*app_, network);
    app_->Start();
    RegisterAdvance();
    seen_events_ = app_->Log().Recent().size();
  }

  void Script(const std::string& name, const std::string& text) {
    WriteFile(dir_ / ("Scripts/" + name), text);
  }
  // Runs "return <expr>" in a fresh module and gives its text.
  std::string Eval(const std::string& expr) {
    Script("eval.txt", "function main()\n  return " + expr + "\nend\n");
    return ScriptValueText(host_->RunEx("eval.txt", "main", ""));
  }
  // The event-log texts written since the last call.
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    const auto& recent = app_->Log().Recent();
    for (size_t i = seen_events_; i < recent.size(); ++i) out.push_back(recent[i].text);
    seen_events_ = recent.size();
    return out;
  }
  // Type + "=" + Data of the scripts' WriteLog messages sent so far.
  std::vector<std::string> WriteLogs() {
    std::vector<std::string> out;
    for (const auto& m : app_->Outbox().StartupQueue()) {
      if (m.MsgClass != "Homeseer.Event") continue;
      const std::string& d = m.MsgData;
      const size_t type = d.find("Type\x01"), data = d.find("Data\x01");
      if (type == std::string::npos || data == std::string::npos) continue;
      const std::string kind = d.substr(type + 5, d.find('\0', type) - type - 5);
      if (kind == "Tagvane") continue;  // the daemon's own event log
      out.push_back(kind + "=" + d.substr(data + 5));
    }
    return out;
  }
  // Reinstalls advance(ms) (it goes with every engine reset): moves the
  // manual clock from inside a script.
  void RegisterAdvance() {
    lua_State* L = host_->Engine().State();
    if (!L) return;
    lua_pushlightuserdata(L, &clock_);
    lua_pushcclosure(
        L,
        [](lua_State* S) {
          auto* c = static_cast<ManualClock*>(lua_touserdata(S, lua_upvalueindex(1)));
          c->Advance(std::chrono::milliseconds(luaL_optinteger(S, 1, 1000)));
          return 0;
        },
        1);
    lua_setglobal(L, "advance");
  }
  void Tick(int ms = 5) { timers_.Advance(std::chrono::milliseconds(ms)); }

  TempDir dir_;
  ManualClock clock_{MakeDateTime(2026, 12, 5, 6, 42, 27)};
  ManualTimerService timers_;
  // The App's clock when set (it must move clock_ along); clock_ otherwise.
  const Clock* app_clock_ = nullptr;
  std::unique_ptr<App> app_;
  ScriptHost* host_ = nullptr;
  std::vector<std::string> raw_;
  std::string sunrise_, sunset_;
  size_t seen_events_ = 0;
};

}  // namespace tagvane::test
