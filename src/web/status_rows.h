// The row list of the status page last drawn: one row per tag device, which
// maps the row numbers of a posted form to device codes. Sorted by the
// stored sort key and direction.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"

namespace tagvane {

class RFIDDevice;

struct StatusRow {
  std::string DC;
  std::string UID;
  std::string X10DC;
  bool A = false;
  std::string Location;
  DateTime Changed{};
  bool Used = false;
  std::string DCSort;
  std::string OnWeight;
  std::string OffWeight;
  std::string Status;
  std::string State;  // "ON" or "OFF", for screen readers and the live poll
  std::string Tag;
  bool Ev = false;
  std::string UIDIndex;
  bool R = false;
};

// Tag field, receiver field, prefix field of a device code.
std::string DCSortOf(std::string_view code);
StatusRow MakeStatusRow(const RFIDDevice& device, size_t index);
// Sorts by "<column>[ DESC]". Returns false (rows untouched) for a key that
// names no column.
bool SortStatusRows(std::vector<StatusRow>& rows, std::string_view sort);
// The Changed column: "" for never, "Today h:mm:ss AM" / "Yesterday ...",
// else the general date; today is the current date at 00:00.
std::string ChangeTimeText(DateTime d, DateTime today);

}  // namespace tagvane
