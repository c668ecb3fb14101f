// Answers that pages and the API write themselves: a status code other than
// 200 (403 for a refused command, the API's errors), a JSON body, and JSON
// text from bytes.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

class Response;

// Sends one complete answer on the response's connection and lets it close.
// extra_headers: whole header lines, each ending in CR LF.
void SendAnswer(Response& response, int status, std::string_view content_type,
                std::string_view body, std::string_view extra_headers = "");

// The same answer as text: status line, headers (Server, Content-Type,
// Content-Length, Cache-Control, then extra_headers), the empty line, body.
std::string BuildAnswer(int status, std::string_view content_type, std::string_view body,
                        std::string_view extra_headers = "");

// A JSON string literal (with quotes) from bytes: each byte is one
// character U+0000-U+00FF, as the pages treat text; controls, quotes,
// backslashes and bytes above 126 are written as \u00XX, so the result is
// plain ASCII whatever the receiver sent.
std::string JsonString(std::string_view bytes);

}  // namespace tagvane
