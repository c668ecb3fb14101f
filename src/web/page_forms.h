// The guard of every post of the pages that changes something: the status
// page's Save Changes and its commands, the setup page's Close, the
// monitor's filter and Freeze, and the menu's Exit. A browser sends a form
// to wherever a page tells it to, so a post is accepted only when
//  - its Origin header (or, without one, its Referer) names this daemon's
//    own origin, or it names none (403 otherwise);
//  - it carries the hidden field "pagetoken" that the daemon put on the
//    page it served; another site cannot read it. A post without one is
//    refused with 403; one with a token of an earlier run of the daemon, or
//    (for the saves) of a page drawn before the last save, is stale: 409
//    with a message asking for a reload, and nothing is written;
//  - with setting HTTPSecurity on, the client passes Exit's rule (loopback,
//    or "Authorization: Bearer <APIToken>").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "web/same_origin.h"

namespace tagvane {

class App;
class Request;
class Response;

// The forms a token is issued for.
enum class PageForm { kStatus, kSetup, kMonitor, kExit };

enum class FormVerdict { kAccepted, kForeignOrigin, kNoToken, kStale, kNotLocal };

// The name of the hidden field.
inline constexpr std::string_view kPageTokenField = "pagetoken";

class PageForms {
 public:
  explicit PageForms(App& app);

  // The token of a page drawn now, and the hidden field that carries it.
  std::string Token(PageForm form) const;
  std::string HiddenField(PageForm form) const;

  // The verdict on a post of form. fresh: the post saves settings, so a
  // page drawn before the last save is stale.
  FormVerdict Check(const Request& request, PageForm form, bool fresh) const;
  // Check, and for a refusal the answer (403 or 409) and an event-log
  // entry; true when the post may go on. page: the path named in the log.
  bool Admit(const Request& request, Response& response, PageForm form, bool fresh,
             std::string_view page);
  // A save went through: pages drawn before it are stale from now on.
  void Saved() { ++generation_; }
  uint64_t Generation() const { return generation_; }

 private:
  App& app_;
  std::string secret_;
  uint64_t generation_ = 1;
};

}  // namespace tagvane
