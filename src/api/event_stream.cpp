#include "api/event_stream.h"

#include <asio/post.hpp>

#include <algorithm>
#include <charconv>

#include "api/api_members.h"
#include "api/tag_json.h"
#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/logger.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

constexpr std::string_view kReaders = "tagvane_api_stream_readers";
constexpr std::string_view kDropped = "tagvane_api_stream_readers_dropped_total";

// The id of a Last-Event-ID header, nullopt when it is not one number.
std::optional<uint64_t> ParseId(std::string_view text) {
  uint64_t id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

}  // namespace

EventStream::EventStream(App& app)
    : app_(app),
      next_id_(static_cast<uint64_t>(std::max<int64_t>(
          1, std::chrono::duration_cast<std::chrono::microseconds>(
                 app.GetClock().Now().time_since_epoch())
                 .count()))),
      comment_timer_(app.Timers()),
      alive_(std::make_shared<bool>(true)) {
  Metrics& m = app_.GetMetrics();
  m.Define(kReaders, Metrics::Kind::kGauge, "Readers of the API's event stream.");
  m.Define(kDropped, Metrics::Kind::kCounter,
           "Event-stream readers dropped because they fell more than 1 MiB behind.");
  m.Set(kReaders, 0);
  m.Add(kDropped, 0);
  decision_listener_ = app_.GetHooks().DeviceDecision.Add(
      [this](const std::string& code) { OnDecision(code); });
  log_listener_ = app_.Log().EntryListeners().Add([this](const LogEntry& e) { OnLog(e); });
  comment_timer_.SetInterval(kCommentMs);
  comment_timer_.SetOnTick([this] { Deliver(": keep-alive\n\n"); });
}

EventStream::~EventStream() {
  Close();
  *alive_ = false;
}

void EventStream::Close() {
  if (closed_) return;
  closed_ = true;
  app_.GetHooks().DeviceDecision.Remove(decision_listener_);
  app_.Log().EntryListeners().Remove(log_listener_);
  comment_timer_.SetEnabled(false);
  const auto readers = std::move(readers_);
  readers_.clear();
  for (const auto& r : readers) r->Close();
  UpdateGauge();
}

void EventStream::Serve(const ApiHttpRequest& request, ApiReplyTo& reply) {
  if (closed_) {
    reply.Answer(503, "application/json", "{\"error\":\"shutting down\"}");
    return;
  }
  std::shared_ptr<StreamSink> sink = reply.OpenStream("text/event-stream");
  std::string start = "retry: 2000\n\n";
  if (const auto last = ParseId(request.Header("Last-Event-ID"))) {
    for (const Event& e : ring_) {
      if (e.id > *last) start += e.text;
    }
  }
  sink->Write(start);
  readers_.push_back(std::move(sink));
  comment_timer_.SetEnabled(true);
  UpdateGauge();
}

void EventStream::Publish(std::string_view event, std::string_view data) {
  const uint64_t id = next_id_++;
  std::string text = "id: " + std::to_string(id) + "\nevent: ";
  text += event;
  text += "\ndata: ";
  text += data;
  text += "\n\n";
  Deliver(text);
  ring_.push_back(Event{id, std::move(text)});
  if (ring_.size() > kRingSize) ring_.pop_front();
}

void EventStream::OnDecision(const std::string& code) {
  if (closed_) return;
  // The figure of a turn is stored after the announcement: the event is
  // made once the decision has run to its end (still this loop turn).
  if (std::find(decided_.begin(), decided_.end(), code) == decided_.end()) {
    decided_.push_back(code);
  }
  if (publish_posted_) return;
  publish_posted_ = true;
  std::weak_ptr<bool> alive = alive_;
  asio::post(app_.Loop().Io(), [this, alive] {
    if (alive.expired()) return;
    publish_posted_ = false;
    Guard(app_.Log(), "EventStream", [&] { PublishDecisions(); });
  });
}

void EventStream::PublishDecisions() {
  const std::vector<std::string> codes = std::move(decided_);
  decided_.clear();
  if (closed_) return;
  for (const std::string& code : codes) {
    const DevicePtr* device = app_.Tables().DeviceTable.Find(code);
    if (!device || !*device) continue;
    Publish("tag", PageSafeJson(TagJson(**device, app_.State().ReceiverCode)));
  }
}

void EventStream::OnLog(const LogEntry& entry) {
  if (closed_) return;
  const nlohmann::ordered_json data = {{"time", FormatGeneralDate(entry.time)},
                                       {"type", JsonText(entry.source)},
                                       {"text", JsonText(entry.text)}};
  Publish("log", PageSafeJson(data));
}

void EventStream::Deliver(const std::string& text) {
  // Closing a reader prunes the list: work on a copy.
  const auto readers = readers_;
  size_t dropped = 0;
  for (const auto& r : readers) {
    if (!r->Open()) continue;
    if (r->Queued() + text.size() > kQueueLimit) {
      ++dropped;
      r->Close();
    } else {
      r->Write(text);
    }
  }
  if (dropped) app_.GetMetrics().Add(kDropped, static_cast<double>(dropped));
  Prune();
}

void EventStream::Prune() {
  std::erase_if(readers_, [](const std::shared_ptr<StreamSink>& r) { return !r->Open(); });
  UpdateGauge();
}

void EventStream::UpdateGauge() {
  app_.GetMetrics().Set(kReaders, static_cast<double>(readers_.size()));
  if (readers_.empty()) comment_timer_.SetEnabled(false);
}

}  // namespace tagvane
