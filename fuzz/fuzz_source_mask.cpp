// Feeds arbitrary connection texts to the password mask: the masked text
// must never hold a password the text had, and sending the masked text back
// must give the stored text again. Also the SampleDate text conversions.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "database/reading_text.h"
#include "database/source_mask.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string masked = tagvane::MaskSourcePassword(input);
  if (tagvane::KeepSourcePassword(masked, input) != input) std::abort();
  if (tagvane::MaskSourcePassword(masked) != masked) std::abort();
  // A password added to a text of plain words is never shown (with "=",
  // quotes or escapes in it the added words may be another key's value).
  if (input.find_first_of("='\\") == std::string_view::npos && !input.starts_with("postgres")) {
    const std::string secret = "Zq9" + std::string(input.substr(0, input.find_first_of(" \t\n\r\f\v")));
    const std::string with = std::string(input) + " password=" + secret;
    if (tagvane::MaskSourcePassword(with) != std::string(input) + " password=********") {
      std::abort();
    }
  }
  // Latin-1 text survives the trip through the server's UTF-8.
  std::string bytes(input);
  std::erase(bytes, '\0');
  if (tagvane::Utf8ToLatin1(tagvane::Latin1ToUtf8(bytes)) != bytes) std::abort();
  return 0;
}
