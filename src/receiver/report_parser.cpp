#include "receiver/report_parser.h"

#include <charconv>
#include <cstring>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/format_html.h"

namespace tagvane {
namespace {

constexpr size_t kMinReport = 5;
constexpr size_t kLastSpace = 8;

// The strength field's value by the leading-number rule; a field that does
// not fit 16 bits ("9e9") throws OverflowError.
int16_t StrengthValue(std::string_view digits) {
  int value = 0;
  size_t i = 0;
  bool plain = !digits.empty();
  for (; i < digits.size(); ++i) {
    if (digits[i] < '0' || digits[i] > '9') {
      plain = false;
      break;
    }
    value = value * 10 + (digits[i] - '0');
  }
  if (plain) return static_cast<int16_t>(value);
  return ToInt16(LeadingNumber(digits));
}

void AppendRightAligned(std::string& out, std::string_view text, size_t width) {
  if (text.size() >= width) {
    out.append(text.substr(text.size() - width));
  } else {
    out.append(width - text.size(), ' ');
    out.append(text);
  }
}

std::string TimeText(DateTime t) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(t - day).count();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return buf;
}

}  // namespace

void MonitorLineBuilder::Reset(std::string_view core) {
  core_.assign(core);
  prefixes_.clear();
  prefix_ends_.clear();
  suffixes_.clear();
}

void MonitorLineBuilder::Wrap(std::string_view prefix, std::string_view suffix) {
  prefixes_ += prefix;
  prefix_ends_.push_back(prefixes_.size());
  suffixes_ += suffix;
}

std::string MonitorLineBuilder::Build() const {
  std::string out;
  out.reserve(prefixes_.size() + core_.size() + suffixes_.size());
  for (size_t i = prefix_ends_.size(); i-- > 0;) {
    const size_t begin = i == 0 ? 0 : prefix_ends_[i - 1];
    out.append(prefixes_, begin, prefix_ends_[i] - begin);
  }
  out += core_;
  out += suffixes_;
  return out;
}

ReportParser::ReportParser(App& app, DataMonitor& monitor) : app_(app), monitor_(monitor) {}

void ReportParser::LogFailure(const std::exception* e) {
  const auto where = SourceLine::Current();
  const Failure failure = e ? MakeFailure(*e, where) : MakeUnknownFailure(where);
  ::tagvane::ReportFailure(app_.Log(), "ProcessCommData " + line_.Build(), failure, false);
}

void ReportParser::ProcessCommData(std::string_view data, int event_code) {
  SharedState& state = app_.State();
  const Settings& settings = app_.GetSettings();
  bool owner = false;
  auto step = [&](auto&& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      LogFailure(&e);
    } catch (...) {
      LogFailure(nullptr);
    }
  };
  step([&] {
    line_.Reset(data);
    state.MonitorLine.assign(data);
    if (settings.ignorestatus) event_code = 2;
  });
  if (event_code == 2) {
    state.ReceiveBuffer.append(data);
    // A call made from inside the running loop (a pumped wait) leaves its
    // data for that loop.
    if (state.ProcessingData) return;
    state.ProcessingData = true;
    owner = true;
    ConsumeReports();
  }
  step([&] {
    if (event_code != 2 && event_code != 3 && settings.DebugLog) {
      app_.Log().LogEvent(kDebugSource, "RFID Comm Event Code=" + std::to_string(event_code));
    }
  });
  step([&] { state.MonitorLine = line_.Build(); });
  step([&] {
    const std::string& filter = monitor_.aTagFilter;
    if (filter.empty() || (filter == TrimSpaces(data) && !monitor_.Freeze)) {
      monitor_.AppendCommData(TimeText(app_.GetClock().Now()), state.MonitorLine);
    }
  });
  step([&] {
    if (settings.DebugLog) {
      app_.Log().LogEvent(kDebugSource, "Data Received and Procesed: " + state.MonitorLine);
    }
  });
  step([&] { app_.GetHooks().SwapIcons(); });
  // Only the call that started the loop ends it: a status event arriving
  // inside a pumped wait must not let a second loop start on the same buffer.
  if (owner) state.ProcessingData = false;
}

void ReportParser::ConsumeReports() {
  std::string& buffer = app_.State().ReceiveBuffer;
  consumed_ = 0;
  while (true) {
    bool stop = false;
    try {
      const size_t available = buffer.size() - consumed_;
      if (available < kMinReport) break;
      const char* start = buffer.data() + consumed_;
      const void* space = std::memchr(start, ' ', available);
      if (!space) {
        if (available > kPendingLimit) Discard(available - (kLastSpace - 1));
        stop = true;
      } else {
        const size_t p = static_cast<size_t>(static_cast<const char*>(space) - start) + 1;
        if (p > kLastSpace) {
          // Each discarded character moves the space one place nearer.
          Discard(p - kLastSpace);
        } else {
          HandleReport(p);
        }
      }
    } catch (const std::exception& e) {
      LogFailure(&e);
    } catch (...) {
      LogFailure(nullptr);
    }
    if (stop) break;
  }
  buffer.erase(0, consumed_);
  consumed_ = 0;
}

void ReportParser::Discard(size_t count) {
  const std::string& buffer = app_.State().ReceiveBuffer;
  for (size_t i = 0; i < count; ++i) {
    scratch_suffix_.assign(" | Discard of ");
    scratch_suffix_ += buffer[consumed_];
    scratch_suffix_ += " trying to sync on space termination";
    line_.Append(scratch_suffix_);
    ++consumed_;
  }
}

void ReportParser::HandleReport(size_t p) {
  const std::string& buffer = app_.State().ReceiveBuffer;
  const size_t available = buffer.size() - consumed_;
  const std::string_view report(buffer.data() + consumed_, available);
  const std::string tag_id(report.substr(0, 4));
  const size_t digits = p == 5 ? 0 : p == 6 ? 1 : p == 7 ? 2 : 3;
  const std::string strength_text(report.substr(4, std::min(digits, available - 4)));
  // The report leaves the buffer before anything can fail, so a failure
  // below costs this report only, never the loop.
  consumed_ += p;
  int16_t strength = 0;
  if (p == 5) {
    strength = -1;
  } else {
    try {
      strength = StrengthValue(strength_text);
    } catch (const std::exception& e) {
      LogFailure(&e);
    }
  }

  const std::string& receiver = app_.State().ReceiverCode;
  if (receiver.size() == 6) {
    code_.assign(kCodeFill);
    code_ += receiver;
    code_ += tag_id;
  } else {
    code_ = MakeDeviceCode("", tag_id, receiver);
  }
  const DevicePtr device = AddRFIDUnit(app_, code_, "");
  if (!device) return;
  device->SetStrength(strength);
  const DateTime now = app_.GetClock().Now();
  const float seconds = SecondsSinceMidnight(now);
  const float elapsed = seconds - device->LastReceivedTimer();

  scratch_prefix_.assign("(");
  AppendRounded(scratch_prefix_, elapsed, 1);
  scratch_prefix_ += ")\t";

  std::string& s = scratch_suffix_;
  s.assign("\t");
  const std::string& location = device->Location();
  if (location.size() >= 20) {
    s.append(location, 0, 20);
  } else {
    s += location;
    s.append(20 - location.size(), ' ');
  }
  s += '\t';
  char num[24];
  auto res = std::to_chars(num, num + sizeof num, device->Strength());
  AppendRightAligned(s, std::string_view(num, static_cast<size_t>(res.ptr - num)), 3);
  s += '\t';
  AppendRightAligned(s, RoundedText(device->AverageStrength(), 1), 5);
  s += '\t';
  AppendRightAligned(s, RoundedText(device->FigureOfMerit(), 0), 3);
  s += '\t';
  s += device->DeviceStatus() == kStatusOn ? "ON" : "OFF";
  line_.Wrap(scratch_prefix_, s);

  device->SetLastReceivedTimer(seconds);
  ++reports_;
  if (device->InUse() && app_.GetSettings().UseSQL >= 1) {
    app_.GetHooks().RecordReading(tag_id, strength);
  }
}

}  // namespace tagvane
