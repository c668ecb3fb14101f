// The scripting subsystem of one App: the Lua engine with the main script
// (Scripts/Tagvane.txt, module "Main"), Run and RunEx (a fresh module "M1"
// per call), the API object, the script queue, the capture of received
// messages for the scripts' records and the subscriptions. Events reach the
// scripts only through the queue.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/subsystems.h"
#include "core/timer.h"
#include "scripting/script_api.h"
#include "scripting/script_engine.h"
#include "scripting/script_queue.h"
#include "scripting/subscriptions.h"

namespace tagvane {

class App;
class Logger;
class XapMessage;

// What the scripts need from the xAP subsystem.
struct ScriptNetwork {
  std::function<void(std::string_view)> send_raw = [](std::string_view) {};
  std::function<std::string()> sunrise = [] { return std::string(); };
  std::function<std::string()> sunset = [] { return std::string(); };
};

// A job started by Spawn: the process object handed back to the script.
class SpawnedJob {
 public:
  virtual ~SpawnedJob() = default;
  virtual int ProcessID() const = 0;
  // 0 while the job runs, 1 once it has ended.
  virtual int Status() const = 0;
  // The job's exit status, 128 + the signal number when a signal ended it;
  // 0 while it runs.
  virtual int ExitCode() const = 0;
};

// Starts a written wrapper file as a job. Returns the job, or nullptr when
// nothing was started.
class JobLauncher {
 public:
  virtual ~JobLauncher() = default;
  virtual std::shared_ptr<SpawnedJob> Launch(const std::filesystem::path& wrapper) = 0;
  // At shut-down: asks every running job to stop, without waiting for it.
  virtual void StopAll() {}
  // The running or recently ended job with this process id, nullptr when
  // none is known.
  virtual std::shared_ptr<SpawnedJob> Find(int /*process_id*/) const { return nullptr; }
};

// Starts nothing: logs "Spawn " + the wrapper's file name.
class LoggingJobLauncher final : public JobLauncher {
 public:
  explicit LoggingJobLauncher(Logger& log) : log_(log) {}
  std::shared_ptr<SpawnedJob> Launch(const std::filesystem::path& wrapper) override;

 private:
  Logger& log_;
};

class ScriptHost final : public ScriptHostPort {
 public:
  explicit ScriptHost(App& app, ScriptNetwork network = {});
  ~ScriptHost() override;

  // ScriptHostPort: creating the API object at start-up sets up the engine.
  void Start() override;
  void PeriodicTick() override;
  void Release() override;
  std::vector<ScriptErrorRecord> RecentErrors() const override;
  static constexpr size_t kRecentErrorLimit = 10;
  // A longer error message is cut to this many bytes in reports.
  static constexpr size_t kErrorTextLimit = 2000;

  // Resets the engine (deferred until the running script returns when a
  // script asks for it), publishes "xap" and loads the main script.
  void InitScriptControl();
  void ReadScript();
  bool MainLoaded() const { return main_module_ >= 0; }
  void Run(std::string_view file);
  ScriptValue RunEx(std::string_view file, std::string_view procedure,
                    std::string_view parameter);
  // RunEx for a caller inside the engine: the value is left on the stack.
  void RunExToStack(std::string_view file, std::string_view procedure,
                    std::string_view parameter);
  std::shared_ptr<SpawnedJob> Spawn(std::string_view script, std::string_view procedure,
                                    std::string_view parameter);
  // A job started by Spawn, looked up by its process id (JobLauncher::Find).
  std::shared_ptr<SpawnedJob> FindJob(int process_id) const {
    return launcher_ ? launcher_->Find(process_id) : nullptr;
  }

  void QueueScript(std::string text) { queue_.QueueScript(std::move(text)); }
  // Message capture for the records of ScriptDeviceTable, then the offer
  // to the subscriptions.
  void CaptureMessage(const XapMessage& message);
  int CaptureSequence() const { return capture_sequence_; }

  // The subscription path rule: a name without a colon or two separators in
  // a row lives below the application folder's Scripts folder.
  std::string SubscriptionPath(std::string_view script) const;

  // The time-out applied at each engine set-up (90000 ms by default).
  void SetScriptTimeout(Milliseconds t);
  void SetJobLauncher(std::unique_ptr<JobLauncher> launcher) { launcher_ = std::move(launcher); }

  ScriptEngine& Engine() { return engine_; }
  ScriptQueue& Queue() { return queue_; }
  SubscriptionList& Subscriptions() { return subscriptions_; }
  ScriptApi& Api() { return api_; }
  const ScriptNetwork& Network() const { return network_; }
  App& GetApp() { return app_; }

 private:
  void LoadModule(int module, std::string_view file);
  // file and procedure are what the daemon ran; a line in another file
  // (an include) is reported with that file.
  void ReportRunError(ScriptError err, std::string_view file, std::string_view procedure);
  void Remember(const ScriptError& err, std::string_view file, std::string_view procedure);
  void ReportDropped(size_t dropped);
  void DropTimerTick();
  void RunEntry(const ScriptQueue::Entry& entry);
  void AfterRun();

  App& app_;
  ScriptNetwork network_;
  ScriptEngine engine_;
  ScriptApi api_;
  ScriptQueue queue_;
  SubscriptionList subscriptions_;
  std::unique_ptr<JobLauncher> launcher_;
  Timer drop_timer_;
  Milliseconds timeout_ = ScriptEngine::kDefaultTimeout;
  int main_module_ = -1;
  int capture_sequence_ = 0;
  bool reset_pending_ = false;
  std::deque<ScriptErrorRecord> recent_errors_;
  // Subscribed messages dropped since the last event-log line about them.
  uint64_t dropped_unreported_ = 0;
  DateTime dropped_reported_{};
};

// Installs the scripting subsystem into app (before Start) and connects the
// QueueScript, InitScriptControl and CaptureMessage hooks.
ScriptHost& InstallScripting(App& app, ScriptNetwork network = {});

}  // namespace tagvane
