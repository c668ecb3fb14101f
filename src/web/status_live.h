// The status page's live poll (GET /status/live?since=N): for each row the
// page shows, the presence text, state, figure, average strength, last
// change, name and location, as JSON. Only rows that changed since the
// sequence number the page holds are sent, so an idle poll is a few dozen
// bytes. What is kept between polls is one entry per device, never per
// browser, so a page left open for days costs nothing that grows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tagvane {

class App;

// The page's script that polls /status/live about once a second while the
// page is visible and updates the marked parts of each row: the presence
// cell (.tvp), the last change (.tvchanged) and, for other receivers' tags,
// the location text (.tvloc). Form fields are never touched, so nothing a
// user types is overwritten; without JavaScript the page is as drawn.
extern const std::string_view kStatusLiveScript;

class StatusLive {
 public:
  explicit StatusLive(App& app);

  // since: the "seq" of the page's previous answer; "" or a number this
  // run never gave (the daemon restarted) sends every row. more_members:
  // further ",\"name\":value" pairs put into the answer object.
  std::string Json(std::string_view since, std::string_view more_members = {});

  size_t Remembered() const { return seen_.size(); }

 private:
  struct Seen {
    size_t hash = 0;
    uint64_t seq = 0;
    uint64_t pass = 0;
  };

  App& app_;
  std::unordered_map<std::string, Seen> seen_;
  uint64_t seq_ = 0;
  uint64_t pass_ = 0;
};

}  // namespace tagvane
