// Whether a URL named by a request's Origin or Referer header belongs to the
// site the request was sent to (its Host header): what tells a post from
// the daemon's own pages from one another site made a browser send.
#pragma once

#include <string_view>

namespace tagvane {

// True when origin (an Origin value, or a Referer URL) is http or https on
// the host and port of the Host header (a missing port matches 80 and
// 443); compared without regard to case. "null" and text that is not a URL
// are another origin.
bool SameOrigin(std::string_view origin, std::string_view host);

}  // namespace tagvane
