#include "sim_script.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/text.h"

namespace tagvane::sim {

SimTag ParseTag(const std::string& text) {
  const auto parts = Split(text, ':');
  SimTag tag;
  tag.id = parts[0];
  if (tag.id.size() != 4 || tag.id.find(' ') != std::string::npos) {
    throw std::invalid_argument("a tag identifier has 4 characters without blanks: " + text);
  }
  if (parts.size() > 1) tag.strength = std::stoi(parts[1]);
  if (tag.strength > 999) throw std::invalid_argument("strength above 999: " + text);
  if (parts.size() > 2) tag.on_seconds = std::stod(parts[2]);
  if (parts.size() > 3) tag.off_seconds = std::stod(parts[3]);
  return tag;
}

SimScript::SimScript(std::vector<SimTag> tags, int garbage_every, uint32_t seed)
    : tags_(std::move(tags)), garbage_every_(garbage_every), random_(seed) {}

bool SimScript::Present(const SimTag& tag, double t) const {
  if (tag.on_seconds <= 0 || tag.off_seconds <= 0) return true;
  return std::fmod(t, tag.on_seconds + tag.off_seconds) < tag.on_seconds;
}

std::string SimScript::Report(const SimTag& tag) {
  std::string out = tag.id;
  if (tag.strength >= 0) {
    // A little jitter, as a real receiver shows.
    std::uniform_int_distribution<int> jitter(-3, 3);
    out += std::to_string(std::clamp(tag.strength + jitter(random_), 0, 999));
  }
  out += ' ';
  ++reports_;
  if (garbage_every_ > 0 && reports_ % static_cast<uint64_t>(garbage_every_) == 0) {
    // A burst long enough to push the next space out of reach.
    static const char kNoise[] = "#~\r\n\x01\xfe" "0123456789";
    std::uniform_int_distribution<size_t> pick(0, sizeof kNoise - 2);
    for (int i = 0; i < 9; ++i) out += kNoise[pick(random_)];
  }
  return out;
}

std::string SimScript::Round(double t) {
  std::string out;
  for (const auto& tag : tags_) {
    if (Present(tag, t)) out += Report(tag);
  }
  return out;
}

std::string SimScript::FloodBlock(size_t bytes, uint64_t& reports) const {
  std::string out;
  reports = 0;
  while (out.size() < bytes) {
    for (const auto& tag : tags_) {
      out += tag.id;
      if (tag.strength >= 0) out += std::to_string(tag.strength);
      out += ' ';
      ++reports;
    }
  }
  return out;
}

}  // namespace tagvane::sim
