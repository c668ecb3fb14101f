#include "api/api_history.h"

#include "api/api_decode.h"
#include "api/api_http.h"
#include "core/app.h"
#include "core/dates.h"
#include "core/fast_string.h"
#include "receiver/rfid_device.h"
#include "web/history_query.h"
#include "web/page_answer.h"

namespace tagvane {
namespace {

constexpr std::string_view kJson = "application/json";

void Refuse(ApiReplyTo& reply, int status, std::string_view message,
            std::string_view parameter = "") {
  std::string body = "{\"error\":" + JsonString(message);
  if (!parameter.empty()) body += ",\"parameter\":" + JsonString(parameter);
  reply.Answer(status, kJson, body + "}");
}

void Times(FastString& out, DateTime t, IsoUtcFormatter& iso) {
  out.Add("\"time\":\"").Add(FormatGeneralDate(t)).Add("\",\"iso\":\"").Add(iso(t)).Add("\"");
}

}  // namespace

std::string HistoryJson(const HistoryAsk& ask, const HistoryResult& result) {
  const RFIDDevice& device = *ask.device;
  IsoUtcFormatter iso;
  FastString out(1024 + result.readings.size() * 72 + result.turns.size() * 128);
  out.Add("{\"tag\":")
      .Add(JsonString(device.Tag()))
      .Add(",\"code\":")
      .Add(JsonString(device.DC()))
      .Add(",\"id\":")
      .Add(JsonString(ask.query.tag_id))
      .Add(",\"location\":")
      .Add(JsonString(device.Location()))
      .Add(",\"from\":\"")
      .Add(FormatGeneralDate(ask.query.from))
      .Add("\",\"from_iso\":\"")
      .Add(iso(ask.query.from))
      .Add("\",\"to\":\"")
      .Add(FormatGeneralDate(ask.query.to))
      .Add("\",\"to_iso\":\"")
      .Add(iso(ask.query.to))
      .Add("\",\"readings_in_window\":")
      .Add(std::to_string(result.readings_in_window))
      .Add(",\"readings_returned\":")
      .Add(std::to_string(result.readings.size()))
      .Add(",\"thinned\":")
      .Add(result.thinned ? "true" : "false")
      .Add(",\"readings\":[");
  bool first = true;
  for (const HistoryReading& r : result.readings) {
    out.Add(first ? "{" : ",{");
    first = false;
    Times(out, r.time, iso);
    out.Add(",\"strength\":").Add(std::to_string(r.strength)).Add("}");
  }
  out.Add("],\"turns\":[");
  first = true;
  for (const HistoryTurn& t : result.turns) {
    out.Add(first ? "{" : ",{");
    first = false;
    Times(out, t.time, iso);
    out.Add(",\"status\":\"")
        .Add(t.on ? "ON" : "OFF")
        .Add("\",\"figure\":")
        .Add(std::to_string(t.figure))
        .Add(",\"name\":")
        .Add(JsonString(t.name))
        .Add(",\"location\":")
        .Add(JsonString(t.location))
        .Add("}");
  }
  out.Add("]}");
  return out.Take();
}

void ServeApiHistory(App& app, HistoryAsker& asker, const ApiHttpRequest& request,
                     ApiReplyTo& reply) {
  auto read = ReadHistoryAsk(
      app, [&request](std::string_view name) { return QueryValue(request.query, name); });
  if (const auto* error = std::get_if<HistoryAskError>(&read)) {
    return Refuse(reply, 400, error->message, error->parameter);
  }
  HistorySource* source = app.GetSettings().UseSQL == 0 ? nullptr : app.Database().History();
  if (!source) return Refuse(reply, 503, kNoReadingDatabase);
  HistoryAsk ask = std::move(std::get<HistoryAsk>(read));
  const HistoryQuery query = ask.query;
  std::shared_ptr<ApiReplyTo> later = reply.Later();
  const bool asked = asker.Ask(*source, query, [later, ask = std::move(ask)](HistoryResult result) {
    if (!result.ok) {
      return Refuse(*later, 503,
                    result.error.empty() ? "the readings could not be read" : result.error);
    }
    later->Answer(200, kJson, HistoryJson(ask, result));
  });
  if (!asked) Refuse(*later, 503, "too many history requests are waiting; try again");
}

}  // namespace tagvane
