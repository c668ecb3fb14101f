// GET /api/history?tag=NAME_OR_CODE&from=..&to=.. (or &hours=N): one tag's
// readings (time, strength) and turns (time, status, figure, name,
// location) in the window, as JSON. Times come twice: in the API's date
// format ("time") and as ISO 8601 UTC ("iso"). At most 10,000 readings,
// evenly thinned beyond that ("thinned": true, "readings_in_window": the
// count before). The caller's access has been checked by the endpoint.
#pragma once

#include <string>

#include "database/history.h"

namespace tagvane {

class App;
class ApiReplyTo;
class HistoryAsker;
struct ApiHttpRequest;
struct HistoryAsk;

// Answers on reply, now or when the reading database has answered.
void ServeApiHistory(App& app, HistoryAsker& asker, const ApiHttpRequest& request,
                     ApiReplyTo& reply);

// The JSON text of a result (200 answers).
std::string HistoryJson(const HistoryAsk& ask, const HistoryResult& result);

}  // namespace tagvane
