#include "xap/xap_message.h"

#include <exception>

#include "core/text.h"

namespace tagvane {
namespace {

constexpr std::string_view kUnknown = "Unknown";

// The received text as it goes into a trace line: CR as "|", LF as "~".
std::string FlattenForTrace(std::string_view raw) {
  std::string out(raw);
  for (char& c : out) {
    if (c == '\r') c = '|';
    if (c == '\n') c = '~';
  }
  return out;
}

// Cuts an address at its first ":" and splits the rest, lower-cased, at ".".
std::vector<std::string> AddressElements(std::string_view address) {
  const size_t colon = address.find(':');
  if (colon != std::string_view::npos) address = address.substr(0, colon);
  return Split(ToLower(address), '.');
}

}  // namespace

int16_t XapMessage::AddHeader() {
  try {
    output_ += "xap-header\n{\nv=13\nhop=1\nuid=";
    output_ += msg_uid_;
    output_ += "\nclass=";
    output_ += msg_class_;
    output_ += "\nsource=";
    output_ += msg_source_;
    output_ += '\n';
    if (!msg_target_.empty()) {
      output_ += "target=";
      output_ += msg_target_;
      output_ += '\n';
    }
    output_ += "}\n";
    section_open_ = false;
  } catch (const std::exception&) {
    Trace("Message AddHeader");
  }
  return 0;
}

int16_t XapMessage::AddItem(std::string_view, std::string_view sItem, std::string_view sValue) {
  output_ += sItem;
  output_ += '=';
  output_ += sValue;
  output_ += '\n';
  return 0;
}

int16_t XapMessage::AddSection(std::string_view sSection) {
  if (section_open_) output_ += "}\n";
  output_ += sSection;
  output_ += "\n{\n";
  section_open_ = true;
  return 0;
}

bool XapMessage::CompareAddress(std::string_view sItem1, std::string_view sItem2) {
  if (sItem1.empty() || sItem2.empty()) return false;
  const std::vector<std::string> a = AddressElements(sItem1);
  const std::vector<std::string> b = AddressElements(sItem2);
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == ">" || b[i] == ">") return true;
    if (a[i] != "*" && b[i] != "*" && a[i] != b[i]) return false;
  }
  return a.size() == b.size();
}

bool XapMessage::CompareClass(std::string_view sClass) const {
  return EqualsNoCase(sClass, msg_class_);
}

bool XapMessage::CompareSource(std::string_view sSource) const {
  return CompareAddress(sSource, msg_source_);
}

bool XapMessage::CompareTarget(std::string_view sTarget) const {
  return CompareAddress(sTarget, msg_target_);
}

int16_t XapMessage::FromXap(std::string_view raw) {
  if (raw.empty()) return 0;
  std::vector<std::string_view> lines;
  lines.reserve(24);
  for (size_t start = 0;;) {
    const size_t lf = raw.find('\n', start);
    if (lf == std::string_view::npos) {
      lines.push_back(raw.substr(start));
      break;
    }
    lines.push_back(raw.substr(start, lf - start));
    start = lf + 1;
  }
  if (FindNoCase(lines[0], "xap-header") == std::string_view::npos) return 0;

  sections_.clear();
  section_index_.Clear();
  too_large_ = false;
  // Kept to be put back when the message turns out too large.
  const std::string header[] = {msg_uid_, msg_class_, msg_source_, msg_target_};
  auto too_large = [&] {
    too_large_ = true;
    sections_.clear();
    section_index_.Clear();
    msg_uid_ = header[0];
    msg_class_ = header[1];
    msg_source_ = header[2];
    msg_target_ = header[3];
    return int16_t{0};
  };
  size_t items = 0;
  int section = -1;
  for (size_t i = 2; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line == "}") {
      // The last closing brace opens one more, nameless, section.
      if (sections_.size() > kMaxSections) return too_large();
      ++section;
      // A text that ends right after its last brace, without the final LF,
      // names the closing section the same way as one that has it.
      const std::string name = i + 1 < lines.size() ? ToLower(lines[i + 1]) : std::string();
      sections_.emplace_back();
      has_sections_ = true;
      if (!section_index_.Add(name, static_cast<size_t>(section))) {
        TraceParse(name, std::to_string(section), raw);
      }
      ++i;  // the name line
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    // Every item line counts, in the header too and whether or not its key
    // repeats one already stored, so no message can make the parser walk
    // (and trace) more than kMaxItems lines.
    if (++items > kMaxItems) return too_large();
    const std::string key = ToLower(TrimSpaces(line.substr(0, eq)));
    if (section < 0) {
      const std::string_view value = TrimSpaces(line.substr(eq + 1));
      if (key == "uid") {
        msg_uid_ = std::string(value);
      } else if (key == "class") {
        msg_class_ = std::string(value);
      } else if (key == "source") {
        msg_source_ = std::string(value);
      } else if (key == "target") {
        msg_target_ = std::string(value);
      }
      continue;
    }
    if (!sections_.back().Add(key, std::string(line))) TraceParse(key, line, raw);
  }
  return 0;
}

std::string XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
  try {
    const size_t* index = section_index_.Find(ToLower(sSection));
    if (!index || *index >= sections_.size()) return std::string(kUnknown);
    const std::string* line = sections_[*index].Find(sItem);
    if (!line) return std::string(kUnknown);
    const size_t eq = line->find('=');
    return eq == std::string::npos ? std::string() : line->substr(eq + 1);
  } catch (const std::exception&) {
    Trace("GetItem");
    return std::string(kUnknown);
  }
}

int16_t XapMessage::Init(std::string_view) {
  output_.clear();
  return 0;
}

std::vector<std::string> XapMessage::MsgSection() const {
  if (section_index_.size() <= 1) return {std::string()};
  std::vector<std::string> names = section_index_.Keys();
  names.pop_back();
  return names;
}

const XapMessage::ItemMap* XapMessage::msgCollection(int16_t Index) const {
  if (Index < 0 || static_cast<size_t>(Index) >= sections_.size()) return nullptr;
  return &sections_[static_cast<size_t>(Index)];
}

std::string XapMessage::ToXap() const { return output_ + "}\n"; }

void XapMessage::Trace(std::string_view source) const {
  if (trace_) trace_([source] { return std::string(source); }, "");
}

void XapMessage::TraceParse(std::string_view key, std::string_view value,
                            std::string_view raw) const {
  if (!trace_) return;
  trace_(
      [&] {
        std::string source = "From XAP Key=";
        source += key;
        source += ", Value=";
        source += value;
        source += ",Message=";
        source += FlattenForTrace(raw);
        return source;
      },
      "");
}

}  // namespace tagvane
