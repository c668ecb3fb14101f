#include "receiver/format_html.h"

#include <charconv>
#include <cmath>

#include "core/numbers.h"

namespace tagvane {
namespace {

constexpr std::string_view kImageOpen = "<img alt='' src='/Tagvane/images/sensors/";

void AppendImage(std::string& out, std::string_view file) {
  out += kImageOpen;
  out += file;
  out += "'>";
}

}  // namespace

void AppendRounded(std::string& out, double v, int decimals) {
  const double scale = decimals == 1 ? 10.0 : 1.0;
  const double r = RoundHalfEven(v * scale);
  // Ordinary magnitudes go through integer formatting; the rest (huge,
  // infinite, NaN) through the general shortest text.
  if (std::isfinite(r) && std::fabs(r) < 1e15) {
    long long n = static_cast<long long>(r);
    if (n == 0) {
      out += '0';
      return;
    }
    if (n < 0) {
      out += '-';
      n = -n;
    }
    char buf[24];
    if (decimals == 1) {
      auto res = std::to_chars(buf, buf + sizeof buf, n / 10);
      out.append(buf, res.ptr);
      if (n % 10 != 0) {
        out += '.';
        out += static_cast<char>('0' + n % 10);
      }
    } else {
      auto res = std::to_chars(buf, buf + sizeof buf, n);
      out.append(buf, res.ptr);
    }
    return;
  }
  out += DoubleText(decimals == 1 ? r / scale : r);
}

std::string RoundedText(double v, int decimals) {
  std::string out;
  AppendRounded(out, v, decimals);
  return out;
}

std::string FormatHTML(std::string_view state, std::string_view type, float average_strength,
                       float figure_of_merit, std::string_view second_state) {
  std::string out;
  out.reserve(200);
  out += "<table><td>";
  if (!second_state.empty()) {
    out += kImageOpen;
    out += second_state;
    out += ".gif'>|";
  }
  const std::string_view single = state == "ON" ? "on.gif" : "off.gif";
  if (type == "OnOn") {
    AppendImage(out, "on.gif");
    AppendImage(out, "on.gif");
  } else if (type == "OffOff") {
    AppendImage(out, "off.gif");
    AppendImage(out, "off.gif");
  } else if (type == "OffOn") {
    AppendImage(out, "off.gif");
    AppendImage(out, "on.gif");
  } else if (type == "OnOff") {
    AppendImage(out, "on.gif");
    AppendImage(out, "off.gif");
  } else if (type.empty()) {
    AppendImage(out, "blank1.gif width='16'");
  } else {
    AppendImage(out, single);
  }
  out += "&nbsp;(";
  AppendRounded(out, figure_of_merit, 0);
  out += ')';
  if (average_strength >= 0) {
    out += "&nbsp;[";
    AppendRounded(out, average_strength, 0);
    out += ']';
  }
  out += "</td></table>";
  return out;
}

}  // namespace tagvane
