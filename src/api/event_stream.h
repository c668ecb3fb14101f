// GET /api/events: the live event stream (Server-Sent Events). One "tag"
// event per announced presence decision (the DeviceDecision hook; data: the
// tag's /api/tags entry as it stands once the decision is complete) and one
// "log" event per event-log entry ({"time", "type", "text"}). Every event
// has an id; ids grow across restarts (the first of a run is the start time
// in microseconds), so a reader that comes back with Last-Event-ID gets
// every event after it that the ring of the last kRingSize still holds.
// A comment goes to every reader each kCommentMs to keep proxies open.
//
// A reader whose unsent bytes would pass kQueueLimit is dropped and counted
// (tagvane_api_stream_readers_dropped_total): a stuck reader costs the loop
// and the other readers nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_http.h"
#include "core/timer.h"

namespace tagvane {

class App;
struct LogEntry;

class EventStream {
 public:
  static constexpr size_t kRingSize = 1000;
  static constexpr size_t kQueueLimit = 1 << 20;
  static constexpr int kCommentMs = 15000;

  explicit EventStream(App& app);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Answers GET /api/events: the stream's head, the events missed since a
  // Last-Event-ID header, then every new event.
  void Serve(const ApiHttpRequest& request, ApiReplyTo& reply);
  // Adds one event with its data (one line of JSON) to the ring and sends
  // it to every reader.
  void Publish(std::string_view event, std::string_view data);
  // Forgets readers whose connection has closed.
  void Prune();
  // Ends every stream and stops listening (shut-down).
  void Close();

  size_t Readers() const { return readers_.size(); }
  uint64_t LastId() const { return next_id_ - 1; }

 private:
  void OnDecision(const std::string& code);
  void PublishDecisions();
  void OnLog(const LogEntry& entry);
  // Sends text to every open reader, dropping those it would overfill.
  void Deliver(const std::string& text);
  void UpdateGauge();

  App& app_;
  struct Event {
    uint64_t id;
    std::string text;  // the whole event as it goes on the wire
  };
  std::deque<Event> ring_;
  uint64_t next_id_;
  std::vector<std::shared_ptr<StreamSink>> readers_;
  std::vector<std::string> decided_;
  bool publish_posted_ = false;
  bool closed_ = false;
  int decision_listener_ = 0;
  int log_listener_ = 0;
  Timer comment_timer_;
  std::shared_ptr<bool> alive_;
};

}  // namespace tagvane
