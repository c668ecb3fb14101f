// What the receiver simulator says: a set of tags, each with a strength and
// a presence cycle (present for N s, silent for M s), turned into the
// receiver's report text, optionally with garbage between reports.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tagvane::sim {

struct SimTag {
  std::string id;        // 4 characters
  int strength = 80;     // -1: reports without digits
  double on_seconds = 0;   // 0: always present
  double off_seconds = 0;
};

// "ID[:STRENGTH[:ON[:OFF]]]", e.g. "1A2B:87:20:30". Throws on a bad text.
SimTag ParseTag(const std::string& text);

class SimScript {
 public:
  SimScript(std::vector<SimTag> tags, int garbage_every, uint32_t seed);

  // The reports of one round at t seconds since the start: every present
  // tag once, in order.
  std::string Round(double t);
  // A block of about `bytes` characters of reports of every tag (the flood),
  // and the number of reports in it.
  std::string FloodBlock(size_t bytes, uint64_t& reports) const;
  bool Present(const SimTag& tag, double t) const;
  uint64_t Reports() const { return reports_; }

 private:
  std::string Report(const SimTag& tag);

  std::vector<SimTag> tags_;
  int garbage_every_;
  std::mt19937 random_;
  uint64_t reports_ = 0;
};

}  // namespace tagvane::sim
