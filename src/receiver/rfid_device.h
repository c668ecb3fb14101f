// One tag device: its figures, state and user settings, persisted as the
// "~"-separated Properties text under its device code in section
// "RFIDUnits" of Tagvane.ini.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

class RFIDDevice {
 public:
  // The record as one "~"-separated text, and its reader.
  std::string Properties() const { return properties_; }
  void SetProperties(std::string_view text) { properties_ = std::string(text); }

 private:
  std::string properties_;
};

}  // namespace tagvane
