#include "receiver/report_parser.h"

#include <algorithm>
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

std::string TimeText(DateTime t) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(t - day).count();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return buf;
}

}  // namespace

bool IsTagIdentifier(std::string_view id) {
  if (id.size() != 4) return false;
  for (const char c : id) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
    if (std::string_view(" =[];~\"").find(c) != std::string_view::npos) return false;
  }
  return true;
}

ReportParser::ReportParser(App& app, DataMonitor& monitor) : app_(app), monitor_(monitor) {}

void ReportParser::LogFailure(const std::exception* e) {
  const SourceLine where = SourceLine::Current();
  const Failure failure = e ? MakeFailure(*e, where) : MakeUnknownFailure(where);
  ::tagvane::ReportFailure(app_.Log(), "ProcessCommData " + line_.Build(), failure, false);
}

void ReportParser::ProcessCommData(std::string_view data, int event_code) {
  SharedState& state = app_.State();
  const Settings& settings = app_.GetSettings();
  bool owner = false;
  bytes_ += data.size();
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
    if (!state.ProcessingData) filter_hit_ = false;
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
  // The monitor shows only the newest characters; the whole line is
  // written out when the debug entry needs it.
  step([&] {
    state.MonitorLine = line_.Build(settings.DebugLog ? 0 : DataMonitor::kCommDataLimit);
  });
  step([&] {
    const std::string_view filter = TrimSpaces(monitor_.aTagFilter);
    // Freeze holds the text still whatever the filter says; the monitor
    // would otherwise keep growing under a user who asked it to stop. A
    // filter shows the chunks with a report of that tag identifier (or,
    // as before, a chunk that is exactly the filter's text).
    if (!monitor_.Freeze &&
        (filter.empty() || filter_hit_ || filter == TrimSpaces(data))) {
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

RFIDDevice* ReportParser::DeviceFor(std::string_view tag_id) {
  const SharedTables& tables = app_.Tables();
  const std::string& receiver = app_.State().ReceiverCode;
  const bool fresh =
      tables.DeviceTable.size() == cache_devices_ && tables.TagChanges == cache_changes_ &&
      tables.TagTableBuiltAt == tables.TagChanges && receiver.size() == cache_receiver_.size() &&
      std::equal(receiver.begin(), receiver.end(), cache_receiver_.begin());
  uint32_t key = 0;
  std::memcpy(&key, tag_id.data(), 4);
  // With debug logging on, every report goes through AddRFIDUnit for its
  // entries.
  if (fresh && !app_.GetSettings().DebugLog) {
    RecentSlot& slot = recent_[(key * 2654435761u) >> 24];
    if (slot.device && slot.key == key) return slot.device;
    auto it = cache_.find(key);
    if (it != cache_.end()) {
      slot = RecentSlot{key, it->second.get()};
      return slot.device;
    }
  }
  if (receiver.size() == 6) {
    code_.assign(kCodeFill);
    code_ += receiver;
    code_ += tag_id;
  } else {
    code_ = MakeDeviceCode("", tag_id, receiver);
  }
  const size_t devices_before = tables.DeviceTable.size();
  DevicePtr device = AddRFIDUnit(app_, code_, "");
  if (fresh && tables.TagChanges == cache_changes_ &&
      tables.DeviceTable.size() == devices_before + 1) {
    // Only this tag's new device came in: every cached answer still holds,
    // so a stream of new tags costs no rebuild of the cache.
    cache_devices_ = tables.DeviceTable.size();
  } else if (!fresh || tables.DeviceTable.size() != cache_devices_) {
    cache_.clear();
    recent_.fill(RecentSlot{});
    cache_devices_ = tables.DeviceTable.size();
    cache_changes_ = tables.TagChanges;
    cache_receiver_ = receiver;
  }
  if (device && cache_.size() < 100000) cache_.emplace(key, device);
  return device.get();
}

void ReportParser::ConsumeReports() {
  std::string& buffer = app_.State().ReceiveBuffer;
  consumed_ = 0;
  chunk_time_ = app_.GetClock().Now();
  chunk_seconds_ = SecondsSinceMidnight(chunk_time_);
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
        } else if (!IsTagIdentifier(std::string_view(start, 4))) {
          // Noise on the line, not a tag: resynchronise one character on.
          Discard(1);
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
  discarded_ += count;
  for (size_t i = 0; i < count; ++i) line_.AddDiscard(buffer[consumed_++]);
}

void ReportParser::HandleReport(size_t p) {
  const std::string& buffer = app_.State().ReceiveBuffer;
  const size_t available = buffer.size() - consumed_;
  const std::string_view report(buffer.data() + consumed_, available);
  char tag_chars[4] = {report[0], report[1], report[2], report[3]};
  const std::string_view tag_id(tag_chars, 4);
  if (!filter_hit_ && EqualsNoCase(TrimSpaces(monitor_.aTagFilter), tag_id)) filter_hit_ = true;
  const size_t digits = p == 5 ? 0 : p == 6 ? 1 : p == 7 ? 2 : 3;
  char strength_chars[3] = {};
  const size_t strength_len = std::min(digits, available - 4);
  report.copy(strength_chars, strength_len, 4);
  const std::string_view strength_text(strength_chars, strength_len);
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

  // Devices stay in DeviceTable for the life of the process.
  RFIDDevice* const device = DeviceFor(tag_id);
  if (!device) return;
  device->SetStrength(strength);
  const float seconds = chunk_seconds_;
  const float elapsed = seconds - device->LastReceivedTimer();

  MonitorReport entry;
  entry.device = device;
  entry.elapsed = elapsed;
  entry.average = device->AverageStrength();
  entry.figure = device->FigureOfMerit();
  entry.strength = device->Strength();
  entry.on = device->DeviceStatus() == kStatusOn;
  line_.AddReport(entry);

  device->SetLastReceivedTimer(seconds);
  ++reports_;
  if (device->InUse() && app_.GetSettings().UseSQL >= 1) {
    app_.GetHooks().RecordReading(std::string(tag_id), strength);
  }
}

}  // namespace tagvane
