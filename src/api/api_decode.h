// Decoding one API request: the member from the path below /api/, its
// arguments from the query string (GET, or a POST without a body) or from a
// JSON body (an object keyed by parameter names, or an array in parameter
// order), each converted to its parameter's type. Pure: no App, no I/O, so
// hostile input can be thrown at it directly.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "api/api_members.h"

namespace tagvane {

struct ApiCall {
  const ApiMember* member = nullptr;  // nullptr: the self-description
  std::vector<ApiArg> args;           // one per parameter of member
};

struct ApiError {
  int status = 400;
  std::string message;
  std::string parameter;  // the parameter at fault, "" when none
};

// method: the request's method (only "GET" and "POST" are served); member: the path
// below "/api/" ("" for the self-description); raw_query: the undecoded
// text after "?"; body: the raw body; body_overflow: more than the kept
// body arrived.
std::variant<ApiCall, ApiError> DecodeApiCall(std::string_view method, std::string_view member,
                                              std::string_view raw_query, std::string_view body,
                                              bool body_overflow);

// Percent-decoding of a query part ("+" a blank, hex digits in either
// case); false on a broken escape.
bool DecodeQueryPart(std::string_view s, std::string* out);

// The decoded value of the first name=value of a raw query whose name is
// name (in any case); "" when there is none or it is broken.
std::string QueryValue(std::string_view raw_query, std::string_view name);

}  // namespace tagvane
