// Response: writes the answer to one request onto its connection of the
// TCPServer. Five kinds of answer with fixed status lines and headers: an
// HTML text, a text file, a binary file streamed in 1000-byte chunks paced
// by send completions, the not-found page, and a redirect to another host.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tagvane {

class Request;
class TCPServer;

struct MimeType {
  std::string content_type;
  bool text = false;
  bool script = false;
};

class Response {
 public:
  explicit Response(TCPServer& server) : server_(server) {}

  int16_t Index() const { return index_; }
  void SetIndex(int16_t index) { index_ = index; }
  // The connection of that socket this response answers; anything sent
  // after the connection has gone is dropped.
  void SetGeneration(uint64_t generation) { generation_ = generation; }
  uint64_t Generation() const { return generation_; }
  bool Answered() const { return answered_; }

  void Send(std::string_view text) { SendTextString(text, index_); }
  // Sends a complete answer (status line, headers and body) built by the
  // caller on this response's connection, and lets it close. A request
  // gets one answer: anything sent after the first is dropped (a page
  // that refused a post has already answered).
  void SendRaw(std::string answer) { SendBuilt(std::move(answer), index_); }
  // Answers the fixed "Unauthorized Access" text; the location is not used.
  void Redirect(std::string_view location);
  void RedirectToHS(std::string_view host, const Request& request, int16_t index);
  void SendTextString(std::string_view text, int16_t index);
  // path: a page path below the HTML root ("\" separators, any case).
  void SendTextFile(std::string_view path, int16_t index);
  void SendErrorResponse(int16_t index);
  void SendBinaryFile(std::string_view path, int16_t index);

  static MimeType GetMimeType(std::string_view path);
  // The file a page path names below root, nullopt when there is none or
  // when the name would leave root (.., absolute names, links out of it).
  static std::optional<std::filesystem::path> FindBelowRoot(const std::filesystem::path& root,
                                                            std::string_view page_path);

 private:
  void SendBuilt(std::string text, int16_t index);
  uint64_t GenerationOf(int16_t index) const;
  std::string MediumDate() const;

  TCPServer& server_;
  int16_t index_ = 0;
  uint64_t generation_ = 0;
  bool answered_ = false;
};

}  // namespace tagvane
