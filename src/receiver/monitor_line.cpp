#include "receiver/monitor_line.h"

#include <charconv>

#include "receiver/format_html.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

void AppendRightAligned(std::string& out, std::string_view text, size_t width) {
  if (text.size() >= width) {
    out.append(text.substr(text.size() - width));
  } else {
    out.append(width - text.size(), ' ');
    out.append(text);
  }
}

}  // namespace

void MonitorLineBuilder::Reset(std::string_view core) {
  core_.assign(core);
  items_.clear();
  reports_ = 0;
}

void MonitorLineBuilder::AddReport(const MonitorReport& report) {
  items_.push_back(Item{report, 0, true});
  ++reports_;
}

void MonitorLineBuilder::AddDiscard(char c) {
  Item item;
  item.discarded = c;
  items_.push_back(item);
}

void MonitorLineBuilder::AppendPrefix(std::string& out, const MonitorReport& r) {
  out += '(';
  AppendRounded(out, r.elapsed, 1);
  out += ")\t";
}

void MonitorLineBuilder::AppendSuffix(std::string& out, const Item& item) {
  if (!item.is_report) {
    out += " | Discard of ";
    out += item.discarded;
    out += " trying to sync on space termination";
    return;
  }
  const MonitorReport& r = item.report;
  out += '\t';
  const std::string_view location =
      r.device ? std::string_view(r.device->Location()) : std::string_view();
  if (location.size() >= 20) {
    out.append(location.substr(0, 20));
  } else {
    out.append(location);
    out.append(20 - location.size(), ' ');
  }
  out += '\t';
  char num[32];
  auto res = std::to_chars(num, num + sizeof num, r.strength);
  AppendRightAligned(out, std::string_view(num, static_cast<size_t>(res.ptr - num)), 3);
  out += '\t';
  std::string text;
  AppendRounded(text, r.average, 1);
  AppendRightAligned(out, text, 5);
  out += '\t';
  text.clear();
  AppendRounded(text, r.figure, 0);
  AppendRightAligned(out, text, 3);
  out += '\t';
  out += r.on ? "ON" : "OFF";
}

std::string MonitorLineBuilder::Build(size_t tail_limit) const {
  std::string out;
  if (tail_limit == 0) {
    out.reserve(core_.size() + items_.size() * 56);
    for (size_t i = items_.size(); i-- > 0;) {
      if (items_[i].is_report) AppendPrefix(out, items_[i].report);
    }
    out += core_;
    for (const Item& item : items_) AppendSuffix(out, item);
    return out;
  }
  // From the right end: the suffixes (newest first), the core, then the
  // prefixes (oldest first), until the tail is long enough.
  std::vector<std::string> pieces;
  size_t total = 0;
  for (size_t i = items_.size(); i-- > 0 && total < tail_limit;) {
    std::string piece;
    AppendSuffix(piece, items_[i]);
    total += piece.size();
    pieces.push_back(std::move(piece));
  }
  if (total < tail_limit) {
    pieces.push_back(core_.size() > tail_limit ? core_.substr(core_.size() - tail_limit) : core_);
    total += pieces.back().size();
    for (size_t i = 0; i < items_.size() && total < tail_limit; ++i) {
      if (!items_[i].is_report) continue;
      std::string piece;
      AppendPrefix(piece, items_[i].report);
      total += piece.size();
      pieces.push_back(std::move(piece));
    }
  }
  out.reserve(total);
  for (size_t i = pieces.size(); i-- > 0;) out += pieces[i];
  if (out.size() > tail_limit) out.erase(0, out.size() - tail_limit);
  return out;
}

}  // namespace tagvane
