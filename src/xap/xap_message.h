// XapMessage: one xAP message, either composed (header, sections, items,
// then ToXap) or parsed from received text (FromXap, then the getters,
// GetItem and the Compare members). Composing and parsing keep separate
// state. Scripts receive the same objects, so member names and their order
// follow the published interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ci_map.h"

namespace tagvane {

// Where a message reports the failures it survives (the trace file's writer:
// source, text). The source is built only when the sink calls make_source,
// so a sink that writes nothing (its limit reached) costs nothing, however
// long the message. Unset: failures are dropped silently.
using XapTraceSink =
    std::function<void(const std::function<std::string()>& make_source, std::string_view text)>;

class XapMessage {
 public:
  // Items of one parsed section: lower-case key -> the whole line "key=value"
  // as received.
  using ItemMap = CaseInsensitiveMap<std::string>;

  // More sections or items than any device sends: FromXap keeps nothing of
  // such a message and TooLarge() tells. Every "key=value" line counts as
  // an item, header lines and repeated keys included.
  static constexpr size_t kMaxSections = 1000;
  static constexpr size_t kMaxItems = 1000;

  XapMessage() = default;
  explicit XapMessage(XapTraceSink trace) : trace_(std::move(trace)) {}

  // Appends the header block (uid, class, source, target when not empty).
  int16_t AddHeader();
  // Appends "sItem=sValue" to the section opened last; sSection is unused.
  int16_t AddItem(std::string_view sSection, std::string_view sItem, std::string_view sValue);
  // Closes an open section and opens sSection.
  int16_t AddSection(std::string_view sSection);
  // Address match before the first ":"; "*" matches one element, ">" the
  // rest. Symmetric; an empty argument never matches.
  static bool CompareAddress(std::string_view sItem1, std::string_view sItem2);
  bool CompareClass(std::string_view sClass) const;
  bool CompareSource(std::string_view sSource) const;
  bool CompareTarget(std::string_view sTarget) const;
  // Parses received text. Text that does not start with an "xap-header"
  // line (heartbeats, junk, "") leaves the message unchanged, and so does
  // one with more than kMaxSections sections or kMaxItems items.
  int16_t FromXap(std::string_view sRawMessage);
  // True when the last FromXap met more sections or items than allowed.
  bool TooLarge() const { return too_large_; }
  // The value of one parsed item (untrimmed text after the first "="), or
  // "Unknown" when the section or the item does not exist.
  std::string GetItem(std::string_view sSection, std::string_view sItem) const;
  // Empties the output text; sMessage is unused.
  int16_t Init(std::string_view sMessage);

  void SetMsgClass(std::string v) { msg_class_ = std::move(v); }
  const std::string& MsgClass() const { return msg_class_; }
  void SetMsgSource(std::string v) { msg_source_ = std::move(v); }
  const std::string& MsgSource() const { return msg_source_; }
  void SetMsgTarget(std::string v) { msg_target_ = std::move(v); }
  const std::string& MsgTarget() const { return msg_target_; }
  void SetMsgUID(std::string v) { msg_uid_ = std::move(v); }
  const std::string& MsgUID() const { return msg_uid_; }

  // Names of the parsed sections in order, lower case, without the final
  // empty name; a message without sections yields one empty name.
  std::vector<std::string> MsgSection() const;
  // The items of section number index, or nullptr outside the parsed ones.
  const ItemMap* msgCollection(int16_t Index) const;
  // Does nothing (kept for the published interface).
  void Reset() {}
  // The output text followed by the closing "}" line.
  std::string ToXap() const;

 private:
  void Trace(std::string_view source) const;
  void TraceParse(std::string_view key, std::string_view value, std::string_view raw) const;

  std::string msg_class_ = "Unknown";
  std::string msg_target_ = "Unknown";
  std::string msg_source_ = "Unknown";
  std::string msg_uid_ = "Unknown";

  // Composing state.
  std::string output_;
  bool section_open_ = false;

  // Parsing state.
  std::vector<ItemMap> sections_;
  CaseInsensitiveMap<size_t> section_index_;
  bool has_sections_ = false;
  bool too_large_ = false;

  XapTraceSink trace_;
};

}  // namespace tagvane
