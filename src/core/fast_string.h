// FastString: the append-only text builder used to assemble long texts
// (records, pages). A std::string that reserves ahead.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

class FastString {
 public:
  explicit FastString(size_t reserve = 4096) { text_.reserve(reserve); }
  FastString& Add(std::string_view piece) {
    text_.append(piece);
    return *this;
  }
  const std::string& Value() const { return text_; }
  // For writers that append in place.
  std::string& Buffer() { return text_; }
  std::string Take() { return std::move(text_); }
  void Reset() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace tagvane
