#include "scripting/script_host.h"

#include <lua.hpp>

#include "core/app.h"
#include "core/failure.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/text.h"
#include "scripting/api_bindings.h"
#include "scripting/device_class.h"
#include "scripting/script_files.h"
#include "xap/xap_message.h"

namespace tagvane {

std::shared_ptr<SpawnedJob> LoggingJobLauncher::Launch(const std::filesystem::path& wrapper) {
  log_.LogEvent(kProductSource, "Spawn " + wrapper.filename().string());
  return nullptr;
}

ScriptHost::ScriptHost(App& app, ScriptNetwork network)
    : app_(app),
      network_(std::move(network)),
      engine_(app.GetClock()),
      api_(app, *this),
      queue_(app.Timers(), app.Log(), [this](const ScriptQueue::Entry& e) { RunEntry(e); }),
      launcher_(std::make_unique<LoggingJobLauncher>(app.Log())),
      drop_timer_(app.Timers(), [this] { DropTimerTick(); }) {}

ScriptHost::~ScriptHost() { engine_.Close(); }

void ScriptHost::Start() {
  // Creating the API object: the trace file's folder, then the engine.
  CreateFolders(app_.Log(), app_.DataDir().string() + "/x");
  InitScriptControl();
}

void ScriptHost::Release() {
  if (launcher_) launcher_->StopAll();  // jobs do not outlive the daemon
  engine_.Close();
  main_module_ = -1;
  subscriptions_.Clear();
}

void ScriptHost::SetScriptTimeout(Milliseconds t) {
  timeout_ = t;
  engine_.SetTimeout(t);
}

void ScriptHost::InitScriptControl() {
  if (engine_.Running()) {
    // Closing the engine under the running script would pull its stack
    // away; the reset happens as soon as the script returns.
    reset_pending_ = true;
    return;
  }
  reset_pending_ = false;
  Guard(app_.Log(), "InitScriptControl", [&] {
    main_module_ = -1;
    engine_.SetAppDir(app_.AppPath());  // known once start-up set the folders
    engine_.Reset([this](lua_State* L) {
      RegisterScriptObjects(L);
      PublishApi(L, *this);
    });
    engine_.SetTimeout(timeout_);
  });
  ReadScript();
}

void ScriptHost::ReadScript() {
  Guard(app_.Log(), "ReadScript", [&] {
    if (main_module_ >= 0) engine_.ReleaseModule(main_module_);
    main_module_ = -1;
    const auto path = ResolveScriptPath(app_.AppPath(), "Tagvane.txt");
    if (!engine_.Open() || !path || !std::filesystem::is_regular_file(*path)) return;
    main_module_ = engine_.NewModule();
    LoadModule(main_module_, "Tagvane.txt");
  });
}

void ScriptHost::LoadModule(int module, std::string_view file) {
  Guard(app_.Log(), "Script-AccumulateReferences", [&] {
    const std::filesystem::path app_path = app_.AppPath();
    IncludeLoader loader;
    loader.identity = [&](std::string_view name) {
      auto p = ResolveScriptPath(app_path, name);
      return p ? p->lexically_normal().string() : std::string(name);
    };
    loader.read = [&](std::string_view name) -> std::optional<std::string> {
      auto p = ResolveScriptPath(app_path, name);
      if (!p || !std::filesystem::is_regular_file(*p)) return std::nullopt;
      return ReadWholeFile(*p);
    };
    loader.add_code = [&](std::string_view code, std::string_view name) {
      ScriptError err;
      if (engine_.AddCode(module, code, name, &err)) return;
      app_.GetMetrics().Add("tagvane_script_syntax_errors_total");
      if (err.description.size() > kErrorTextLimit) err.description.resize(kErrorTextLimit);
      Remember(err, name, "");
      app_.Log().LogEvent(kProductSource, "Error in script syntax " + err.description + " / " +
                                              std::string(name) + " " + err.description +
                                              "@ Line " + std::to_string(err.line) + " col 0");
    };
    loader.cycle = [&](std::string_view name) {
      app_.Log().LogEvent(kProductSource, "Script-AccumulateReferences " + std::string(name) +
                                              " is already being loaded (include cycle)");
    };
    ExpandScript(file, loader);
  });
}

namespace {

std::string BodyItem(std::string_view name, std::string_view value) {
  std::string item(1, '\0');
  item += name;
  item += '\x01';
  item += value;
  return item;
}

}  // namespace

void ScriptHost::Remember(const ScriptError& err, std::string_view file,
                          std::string_view procedure) {
  recent_errors_.push_back(ScriptErrorRecord{app_.GetClock().Now(),
                                             std::string(err.source.empty() ? file : err.source),
                                             std::string(procedure), err.line, err.description});
  if (recent_errors_.size() > kRecentErrorLimit) recent_errors_.pop_front();
}

std::vector<ScriptErrorRecord> ScriptHost::RecentErrors() const {
  return {recent_errors_.begin(), recent_errors_.end()};
}

void ScriptHost::ReportRunError(ScriptError err, std::string_view file,
                                std::string_view procedure) {
  app_.GetMetrics().Add("tagvane_script_errors_total");
  if (err.description.find("Script timed out") != std::string::npos) {
    app_.GetMetrics().Add("tagvane_script_timeouts_total");
  }
  if (err.description.size() > kErrorTextLimit) err.description.resize(kErrorTextLimit);
  Remember(err, file, procedure);
  const ScriptErrorRecord& where = recent_errors_.back();
  app_.Log().LogEvent(kProductSource,
                      "Script Run Error " + err.description + " / " + std::to_string(err.number) +
                          " - " + err.description + "@ Line " + std::to_string(err.line) + " col 0",
                      nullptr, BodyItem("File", where.file) + BodyItem("Procedure", procedure));
}

void ScriptHost::AfterRun() {
  if (reset_pending_ && !engine_.Running()) InitScriptControl();
}

void ScriptHost::Run(std::string_view file) { RunEx(file, "main", ""); }

ScriptValue ScriptHost::RunEx(std::string_view file, std::string_view procedure,
                              std::string_view parameter) {
  ScriptValue value;
  if (!engine_.Open()) return value;
  const int module = engine_.NewModule();
  LoadModule(module, file);
  ScriptError err;
  bool found = false;
  value = engine_.Run(module, procedure, parameter, &found, &err);
  if (found) app_.GetMetrics().Add("tagvane_script_runs_total");
  if (found && err.number != 0) ReportRunError(std::move(err), file, procedure);
  engine_.ReleaseModule(module);
  AfterRun();
  return value;
}

void ScriptHost::RunExToStack(std::string_view file, std::string_view procedure,
                              std::string_view parameter) {
  lua_State* L = engine_.State();
  const int module = engine_.NewModule();
  LoadModule(module, file);
  ScriptError err;
  bool found = false;
  if (!engine_.RunToStack(module, procedure, parameter, &found, &err)) {
    ReportRunError(std::move(err), file, procedure);
    lua_pushnil(L);
  } else if (!found) {
    lua_pushnil(L);
  }
  engine_.ReleaseModule(module);
}

std::shared_ptr<SpawnedJob> ScriptHost::Spawn(std::string_view script, std::string_view procedure,
                                              std::string_view parameter) {
  std::optional<std::filesystem::path> wrapper;
  const bool written = Guard(app_.Log(), "WrapWSF", [&] {
    const auto scripts = ResolveBelow(app_.AppPath(), "Scripts");
    const std::string name = WrapperFileName(script);
    wrapper = scripts ? ResolveBelow(*scripts, name) : std::nullopt;
    if (!wrapper) throw std::invalid_argument("wrapper name " + name + " leaves the Scripts folder");
    CreateFolders(app_.Log(), wrapper->string());
    WriteFileAtomically(*wrapper, WrapperText(script, procedure, parameter));
  });
  // A wrapper that could not be written is not started (an older one may
  // be there under the same name).
  if (!written || !wrapper || !launcher_) return nullptr;
  return launcher_->Launch(*wrapper);
}

std::string ScriptHost::SubscriptionPath(std::string_view script) const {
  if (IsFullScriptPath(script)) return std::string(script);
  return app_.AppPath() + "/Scripts/" + std::string(script);
}

void ScriptHost::RunEntry(const ScriptQueue::Entry& entry) {
  if (entry.subscription) {
    const size_t position = subscriptions_.PositionOf(entry.subscription.get());
    if (position > 0) RunEx(entry.subscription->RunName, "Main", std::to_string(position));
    return;
  }
  if (main_module_ < 0 || !engine_.Open()) return;  // no main script: the text is dropped
  ScriptError err;
  bool found = false;
  engine_.Run(main_module_, "Main", entry.text, &found, &err);
  if (found) app_.GetMetrics().Add("tagvane_script_runs_total");
  if (found && err.number != 0) ReportRunError(std::move(err), "Tagvane.txt", "Main");
  AfterRun();
}

void ScriptHost::PeriodicTick() {
  Guard(app_.Log(), "PeriodicScriptTimer_Timer", [&] {
    Timer& timer = app_.PeriodicTimer();
    int& counter = app_.PeriodicMinuteCounter();
    --counter;
    if (counter >= 0) {
      timer.SetInterval(60000);
      return;
    }
    QueueScript("");
    const PeriodicSchedule s = ComputePeriodicSchedule(app_.GetSettings().PeriodicScriptInterval);
    if (!s.enabled || s.interval_ms <= 0) {
      timer.SetEnabled(false);  // the setting went away or turned negative
      return;
    }
    counter = s.minute_counter;
    timer.SetInterval(s.interval_ms);
  });
}

void ScriptHost::CaptureMessage(const XapMessage& message) {
  auto& tables = app_.Tables();
  if (!tables.FilterTable.empty()) {
    const std::string key = message.MsgSource() + "~" + message.MsgClass();
    if (const std::string* filter = tables.FilterTable.Find(key)) {
      CaseInsensitiveMap<std::string> values, keys;
      const auto names = message.MsgSection();
      for (size_t i = 0; i < names.size(); ++i) {
        const XapMessage::ItemMap* items = message.msgCollection(static_cast<int16_t>(i));
        if (!items) break;
        for (const auto& [item_key, line] : *items) {
          const size_t eq = line.find('=');
          if (eq == std::string::npos) continue;
          const std::string name = names[i] + "." + line.substr(0, eq);
          // A repeated item name keeps its first value.
          if (values.Add(name, line.substr(eq + 1))) keys.Add(name, name);
        }
      }
      const auto pieces = Split(*filter, ';');
      const std::string& record_name = pieces[0];
      const std::string event = pieces.size() > 1 ? pieces[1] : std::string();
      if (auto* record = tables.ScriptDeviceTable.Find(record_name); record && *record) {
        (*record)->MessageList = std::move(values);
        (*record)->MessageKeyList = std::move(keys);
        (*record)->LastChange = app_.GetClock().Now();
        capture_sequence_ = capture_sequence_ == INT32_MAX ? 1 : capture_sequence_ + 1;
        (*record)->Sequence = capture_sequence_;
        if (!event.empty()) QueueScript(record_name);
      }
    }
  }
  const size_t dropped = subscriptions_.Offer(
      message, [this](const ScriptVBSPtr& s) { queue_.QueueSubscription(s); });
  if (dropped > 0) ReportDropped(dropped);
}

void ScriptHost::ReportDropped(size_t dropped) {
  // A flood drops many messages in a moment: the line goes out a second
  // after the first drop (and at most once a minute), carrying every message
  // dropped until then.
  app_.GetMetrics().Add("tagvane_script_messages_dropped_total", static_cast<double>(dropped));
  dropped_unreported_ += dropped;
  if (drop_timer_.Enabled()) return;
  const DateTime now = app_.GetClock().Now();
  Milliseconds wait{1000};
  if (dropped_reported_ != DateTime{}) {
    wait = std::max(wait, std::chrono::duration_cast<Milliseconds>(
                              dropped_reported_ + std::chrono::minutes(1) - now));
  }
  drop_timer_.SetInterval(static_cast<int>(wait.count()));
  drop_timer_.SetEnabled(true);
}

void ScriptHost::DropTimerTick() {
  drop_timer_.SetEnabled(false);
  dropped_reported_ = app_.GetClock().Now();
  if (dropped_unreported_ == 0) return;
  app_.Log().LogEvent(kProductSource,
                      "Subscribed messages dropped: a script is not reading them (" +
                          std::to_string(dropped_unreported_) + ")");
  dropped_unreported_ = 0;
}

ScriptHost& InstallScripting(App& app, ScriptNetwork network) {
  auto owned = std::make_unique<ScriptHost>(app, std::move(network));
  ScriptHost& host = *owned;
  app.SetScriptHost(std::move(owned));
  Hooks& hooks = app.GetHooks();
  hooks.QueueScript = [&host](const std::string& text) { host.QueueScript(text); };
  hooks.InitScriptControl = [&host] { host.InitScriptControl(); };
  hooks.CaptureMessage = [&host](XapMessage& message) { host.CaptureMessage(message); };
  return host;
}

}  // namespace tagvane
