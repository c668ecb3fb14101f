#include "web/page_forms.h"

#include <random>

#include "core/app.h"
#include "core/settings.h"
#include "core/text.h"
#include "web/api_access.h"
#include "web/html_escape.h"
#include "web/page_answer.h"
#include "web/same_origin.h"
#include "web/request.h"

namespace tagvane {
namespace {

constexpr char kFormLetters[] = {'s', 'u', 'm', 'x'};

char Letter(PageForm form) { return kFormLetters[static_cast<int>(form)]; }

std::string Page(std::string_view text) {
  return "<html><head><title>Tagvane</title></head><body><p>" + std::string(text) +
         "</p></body></html>";
}

}  // namespace

PageForms::PageForms(App& app) : app_(app) {
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    const unsigned int word = random();
    for (int shift = 0; shift < 32; shift += 8) secret_ += kHex[(word >> shift) & 0xf];
  }
}

std::string PageForms::Token(PageForm form) const {
  return secret_ + "." + Letter(form) + std::to_string(generation_);
}

std::string PageForms::HiddenField(PageForm form) const {
  return "<input type='hidden' name='" + std::string(kPageTokenField) + "' value='" +
         Token(form) + "'>";
}

FormVerdict PageForms::Check(const Request& request, PageForm form, bool fresh) const {
  std::string origin = request.ServerVariables("Origin");
  if (origin.empty()) origin = request.ServerVariables("Referer");
  if (!origin.empty() && !SameOrigin(origin, request.ServerVariables("Host"))) {
    return FormVerdict::kForeignOrigin;
  }
  if (IsTrueText(app_.Ini().GetIniSetting("RFID", "HTTPSecurity", "", kSettingsFile)) &&
      !ApiAccessAllowed(app_.Ini(), request.ServerVariables("REMOTE_ADDR"),
                        request.ServerVariables("Authorization"))) {
    return FormVerdict::kNotLocal;
  }
  const std::string token = request.Form(kPageTokenField);
  if (token.empty()) return FormVerdict::kNoToken;
  const size_t dot = token.find('.');
  if (dot == std::string::npos || !ConstantTimeEquals(token.substr(0, dot), secret_) ||
      token.size() < dot + 2 || token[dot + 1] != Letter(form)) {
    return FormVerdict::kStale;
  }
  if (fresh && token.substr(dot + 2) != std::to_string(generation_)) return FormVerdict::kStale;
  return FormVerdict::kAccepted;
}

bool PageForms::Admit(const Request& request, Response& response, PageForm form, bool fresh,
                      std::string_view page) {
  const FormVerdict verdict = Check(request, form, fresh);
  if (verdict == FormVerdict::kAccepted) return true;
  const std::string client = request.ServerVariables("REMOTE_ADDR");
  const std::string where = "/" + std::string(page);
  // The page to open again (Exit is on every page's menu).
  const std::string reload = form == PageForm::kExit ? "/status" : where;
  switch (verdict) {
    case FormVerdict::kForeignOrigin: {
      std::string origin = request.ServerVariables("Origin");
      if (origin.empty()) origin = request.ServerVariables("Referer");
      app_.Log().LogEventLimited("form-origin", "Unauthorized",
                                 client + " posted to " + where + " from another site " +
                                     origin.substr(0, 200));
      SendAnswer(response, 403, "text/html",
                 Page("Refused: this form was sent from another site (" +
                      EscapeHtml(origin.substr(0, 200)) +
                      "). Nothing was changed. Use the pages of Tagvane itself."));
      break;
    }
    case FormVerdict::kNotLocal:
      app_.Log().LogEventLimited("form-local", "Unauthorized",
                                 client + " attempted to post to " + where);
      SendAnswer(response, 403, "text/html",
                 Page("Refused: with HTTPSecurity on, changes are accepted from this machine "
                      "only, or with the API token. Nothing was changed."));
      break;
    case FormVerdict::kNoToken:
      app_.Log().LogEventLimited("form-token", "Unauthorized",
                                 client + " posted to " + where + " without a page token");
      SendAnswer(response, 403, "text/html",
                 Page("Refused: the form carries no page token, so it did not come from a page "
                      "of Tagvane. Nothing was changed. <a href='" + reload + "'>Open the page</a> and try again."));
      break;
    default:
      SendAnswer(response, 409, "text/html",
                 Page("This page is out of date: it was drawn before the last save (from "
                      "another page, or before Tagvane was restarted), so nothing was saved. "
                      "<a href='" + reload + "'>Reload the page</a> and make your changes again."));
      break;
  }
  return false;
}

}  // namespace tagvane
