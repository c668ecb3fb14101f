#include "web/page_answer.h"

#include "core/fast_string.h"
#include "web/response.h"

namespace tagvane {
namespace {

std::string_view Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

}  // namespace

void SendAnswer(Response& response, int status, std::string_view content_type,
                std::string_view body, std::string_view extra_headers) {
  response.SendRaw(BuildAnswer(status, content_type, body, extra_headers));
}

std::string BuildAnswer(int status, std::string_view content_type, std::string_view body,
                        std::string_view extra_headers) {
  FastString out(body.size() + 256);
  out.Add("HTTP/1.1 ")
      .Add(std::to_string(status))
      .Add(" ")
      .Add(Reason(status))
      .Add("\r\nServer: qbx\r\nContent-Type: ")
      .Add(content_type)
      .Add("\r\nContent-Length: ")
      .Add(std::to_string(body.size()))
      .Add("\r\nCache-Control: no-cache\r\n")
      .Add(extra_headers)
      .Add("\r\n")
      .Add(body);
  return out.Take();
}

std::string JsonString(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8 + 2);
  out += '"';
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

}  // namespace tagvane
