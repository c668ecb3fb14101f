#include "web/status_rows.h"

#include <algorithm>
#include <functional>

#include "core/dates.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/rfid_device.h"

namespace tagvane {

std::string DCSortOf(std::string_view code) {
  const std::string c(code);
  auto mid = [&](size_t from, size_t n) { return from < c.size() ? c.substr(from, n) : ""; };
  return std::string(Right(c, 4)) + mid(6, 6) + mid(0, 6);
}

StatusRow MakeStatusRow(const RFIDDevice& device, size_t index) {
  StatusRow row;
  row.DC = device.DC();
  row.UID = device.uID();
  row.X10DC = device.X10DC();
  row.A = device.InUse();
  row.Location = device.Location();
  row.Changed = device.DeviceLastChange();
  row.Used = device.InUse();
  row.DCSort = DCSortOf(device.DC());
  row.OnWeight = SingleText(device.OnWeight());
  row.OffWeight = SingleText(device.OffWeight());
  row.Status = device.DeviceString().substr(0, 255);
  row.State = StatusText(device.DeviceStatus());
  row.Tag = device.Tag();
  row.Ev = device.EventNotification();
  row.UIDIndex = std::to_string(index);
  row.R = device.Remove();
  return row;
}

bool SortStatusRows(std::vector<StatusRow>& rows, std::string_view sort) {
  const std::vector<std::string> words = Split(TrimSpaces(sort), ' ');
  const std::string column = words.empty() ? std::string() : words.front();
  const bool descending = words.size() > 1 && EqualsNoCase(words.back(), "DESC");
  using Less = std::function<bool(const StatusRow&, const StatusRow&)>;
  auto by_text = [](std::string StatusRow::*field) -> Less {
    return [field](const StatusRow& a, const StatusRow& b) {
      return CompareNoCase(a.*field, b.*field) < 0;
    };
  };
  auto by_flag = [](bool StatusRow::*field) -> Less {
    return [field](const StatusRow& a, const StatusRow& b) { return a.*field < b.*field; };
  };
  Less less;
  static const std::pair<std::string_view, std::string StatusRow::*> kTexts[] = {
      {"DC", &StatusRow::DC},
      {"UID", &StatusRow::UID},
      {"X10DC", &StatusRow::X10DC},
      {"Location", &StatusRow::Location},
      {"DCSort", &StatusRow::DCSort},
      {"OnWeight", &StatusRow::OnWeight},
      {"OffWeight", &StatusRow::OffWeight},
      {"Status", &StatusRow::Status},
      // The presence column's button posts "P".
      {"P", &StatusRow::Status},
      {"Tag", &StatusRow::Tag},
      {"UIDIndex", &StatusRow::UIDIndex}};
  static const std::pair<std::string_view, bool StatusRow::*> kFlags[] = {
      {"A", &StatusRow::A},
      {"Used", &StatusRow::Used},
      {"Ev", &StatusRow::Ev},
      {"R", &StatusRow::R}};
  for (const auto& [name, field] : kTexts) {
    if (EqualsNoCase(column, name)) less = by_text(field);
  }
  for (const auto& [name, field] : kFlags) {
    if (EqualsNoCase(column, name)) less = by_flag(field);
  }
  if (EqualsNoCase(column, "Changed")) {
    less = [](const StatusRow& a, const StatusRow& b) { return a.Changed < b.Changed; };
  }
  if (!less) return false;
  if (descending) {
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const StatusRow& a, const StatusRow& b) { return less(b, a); });
  } else {
    std::stable_sort(rows.begin(), rows.end(), less);
  }
  return true;
}

std::string ChangeTimeText(DateTime d, DateTime today) {
  if (d == DateTime{} || d == MakeDateTime(2000, 1, 1)) return {};
  if (d >= today - std::chrono::days(1)) {
    return std::string(d >= today ? "Today " : "Yesterday ") + FormatTimeOfDay(d);
  }
  return FormatGeneralDate(d);
}

}  // namespace tagvane
