#include "web/page_gate.h"

#include <asio/steady_timer.hpp>
#include <cmath>

#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "receiver/rfid_device.h"
#include "web/api_access.h"
#include "web/request.h"
#include "web/response.h"
#include "web/tcp_server.h"

namespace tagvane {
namespace {

std::string PlainAnswer(std::string_view status, std::string_view extra_headers,
                        std::string_view content_type, std::string_view body) {
  std::string out;
  out.reserve(body.size() + 256);
  out += "HTTP/1.1 ";
  out += status;
  out += "\r\nServer: qbx\r\n";
  out += extra_headers;
  out += "Content-Type: ";
  out += content_type;
  out += "\r\nContent-Length: " + std::to_string(body.size());
  out += "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
  out += body;
  return out;
}

std::string Refusal(std::string_view status, int retry_after_s, std::string_view why) {
  const std::string seconds = std::to_string(retry_after_s);
  return PlainAnswer(status, "Retry-After: " + seconds + "\r\n", "text/html",
                     "<html><h1>" + std::string(status) + "</h1><p>" + std::string(why) +
                         " Try again in " + seconds + " s.</p></html>");
}

std::string Challenge(std::string_view scheme) {
  return PlainAnswer(
      "401 Unauthorized",
      "WWW-Authenticate: " + std::string(scheme) + " realm=\"" + std::string(kRealm) + "\"\r\n",
      "text/html", "<html><h1>401 Unauthorized</h1></html>");
}

}  // namespace

PageGate::PageGate(TCPServer& server) : server_(server), app_(server.GetApp()) {}

PageGate::~PageGate() { *alive_ = false; }

bool PageGate::BasicMode() const {
  return ToUpper(TrimSpaces(
             app_.Ini().GetIniSetting("Settings", "usesecurity", "", kSettingsFile))) == "BASIC";
}

bool PageGate::Admit(Request& request, const Response& response, int s, std::string_view page) {
  // The help page needs no password (like the style sheets and pictures).
  if (StartsWithNoCase(page, "/help")) return true;
  if (!BasicMode()) return true;
  const std::string client = request.ServerVariables("REMOTE_ADDR");
  const std::string header = request.ServerVariables("Authorization");
  if (auto creds = ParseBasicAuthorization(header)) {
    bool ok = false;
    const bool known_name = ValidUserName(creds->user) && !EqualsNoCase(creds->user, "GUEST");
    const std::string hash =
        known_name ? app_.Ini().GetIniSetting(kUsersSection, creds->user, "", kUsersFile) : "";
    const std::string key = ToLower(creds->user);
    const auto now = std::chrono::steady_clock::now();
    auto known = accepted_.find(key);
    if (known != accepted_.end() && now < known->second.until && !hash.empty() &&
        known->second.hash == hash && ConstantTimeEquals(known->second.header, header)) {
      ok = true;
    } else {
      auto refuse = [&](std::string_view status, int seconds, std::string_view why) {
        app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", "throttled"));
        Answer(s, response.Generation(), Refusal(status, seconds, why), {});
        return false;
      };
      // Waiting out its delay: answered without a check.
      if (const auto wait = throttle_.Remaining(client, now); wait.count() > 0) {
        return refuse("429 Too Many Requests", static_cast<int>((wait.count() + 999) / 1000),
                      "Too many failed sign-ins from this address.");
      }
      if (!budget_.Allow(now)) {
        return refuse("503 Service Unavailable", 1, "Too many sign-ins are being checked.");
      }
      ok = Check(creds->password, hash);
      if (ok) {
        if (accepted_.size() >= kMaxRemembered) accepted_.clear();
        accepted_[key] = Accepted{header, hash, now + kRememberFor};
      }
    }
    if (ok) {
      throttle_.Success(client);
      request.set_auth_user(creds->user);
      return true;
    }
    const int failures = throttle_.Failure(client);
    app_.Log().LogEventLimited("login failures", "Unauthorized",
                               "Failed login at " + client + " (" + std::to_string(failures) +
                                   " in a row from this address)");
  } else {
    app_.Log().LogEventLimited(
        "login guests", "Unauthorized",
        "Anonymous Guest at " + client + " attempted to access " + std::string(page));
  }
  app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", "unauthorized"));
  Answer(s, response.Generation(), Challenge("Basic"), {});
  return false;
}

bool PageGate::Check(std::string_view password, const std::string& hash) {
  if (hash.empty() && dummy_hash_.empty()) {
    Guard(app_.Log(), "PageGate", [&] { dummy_hash_ = HashPassword("no such user"); });
  }
  ++checks_;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = VerifyPassword(password, hash.empty() ? dummy_hash_ : hash) && !hash.empty();
  budget_.Charge(std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start));
  return ok;
}

void PageGate::ServeMetrics(Request& request, const Response& response, int s) {
  if (!ApiAccessAllowed(app_.Ini(), request.ServerVariables("REMOTE_ADDR"),
                        request.ServerVariables("Authorization"))) {
    app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", "unauthorized"));
    Answer(s, response.Generation(), Challenge("Bearer"), {});
    return;
  }
  app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", "metrics"));
  CollectTagMetrics(app_);
  Answer(s, response.Generation(),
         PlainAnswer("200 OK", "", "text/plain; version=0.0.4; charset=utf-8",
                     RenderMetrics(app_.GetMetrics())),
         {});
}

void PageGate::Answer(int s, uint64_t generation, std::string text,
                      std::chrono::milliseconds delay) {
  // Sends for a connection that has gone (its generation changed) are dropped.
  auto send = [this, s, generation](std::string bytes) {
    server_.SetTag(s, generation, "0");
    if (server_.State(s) == TCPServer::kStateConnected) server_.Send(s, generation, std::move(bytes));
  };
  if (delay.count() <= 0) {
    send(std::move(text));
    return;
  }
  if (pending_ >= kMaxPending) return;
  ++pending_;
  auto timer = std::make_shared<asio::steady_timer>(app_.Loop().Io(), delay);
  std::weak_ptr<bool> alive = alive_;
  timer->async_wait([this, alive, timer, s, generation, send,
                     text = std::move(text)](const asio::error_code&) mutable {
    if (alive.expired()) return;
    --pending_;
    // The client may have gone and its socket been given to another.
    if (server_.Generation(s) != generation) return;
    send(std::move(text));
  });
}

void CollectTagMetrics(App& app) {
  Metrics& m = app.GetMetrics();
  for (const char* name : {"tagvane_tag_present", "tagvane_tag_figure_of_merit",
                           "tagvane_tag_last_report_timestamp_seconds"}) {
    m.ClearSeries(name);
  }
  const double unix_now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const float now_seconds = SecondsSinceMidnight(app.GetClock().Now());
  const std::string& receiver = app.State().ReceiverCode;
  for (const auto& [key, device] : app.Tables().DeviceTable) {
    if (!device || !device->InUse() || device->Remove()) continue;
    const std::string& code = device->DC();
    if (code.size() != 16 || std::string_view(code).substr(0, 6) != kCodeFill ||
        !EqualsNoCase(std::string_view(code).substr(6, 6), receiver)) {
      continue;
    }
    const std::string label = MetricLabel("tag", code.substr(12));
    m.Set("tagvane_tag_present", device->DeviceStatus() == kStatusOn ? 1 : 0, label);
    m.Set("tagvane_tag_figure_of_merit", device->FigureOfMerit(), label);
    // A tag not heard since start has no report time to tell.
    if (!device->Heard()) continue;
    float age = now_seconds - device->LastReceivedTimer();
    if (age < 0) age += 86400.0f;
    m.Set("tagvane_tag_last_report_timestamp_seconds", std::floor(unix_now - age), label);
  }
}

}  // namespace tagvane
