#include "receiver/data_monitor.h"

namespace tagvane {

std::string_view DataMonitor::CommData() const {
  std::string_view all(text_);
  return all.size() > kCommDataLimit ? all.substr(all.size() - kCommDataLimit) : all;
}

void DataMonitor::AppendCommData(std::string_view time_text, std::string_view line) {
  ++updates_;
  if (line.size() >= kCommDataLimit) {
    // Only the line's own tail can remain visible.
    text_.assign(line.substr(line.size() - kCommDataLimit));
    appended_ += kCommDataLimit + 1;
    return;
  }
  text_ += "\r\n";
  text_ += time_text;
  text_ += " |  ";
  text_ += line;
  appended_ += 2 + time_text.size() + 4 + line.size();
  if (text_.size() > 2 * kCommDataLimit) text_.erase(0, text_.size() - kCommDataLimit);
}

void DataMonitor::ClearCommData() {
  text_.clear();
  ++updates_;
  appended_ += kCommDataLimit + 1;
}

}  // namespace tagvane
