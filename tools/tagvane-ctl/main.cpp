// tagvane-ctl: calls one member of the running daemon's JSON API and prints
// the result, for shell scripts, cron jobs and people at a terminal.
//
// Exit codes: 0 done; 1 the daemon refused the call (its message on
// standard error); 2 bad usage, or no answer from the daemon.
#include <CLI/CLI.hpp>
#include <iostream>

#include "api/api_client.h"
#include "api/api_members.h"

using namespace tagvane;

namespace {

constexpr int kApiError = 1;
constexpr int kUsageOrConnection = 2;

int Fail(int code, const std::string& message) { return ReportFailure("tagvane-ctl", code, message); }

// Texts print as their bytes, numbers and booleans plainly, nothing for
// null; collections, messages and processes as one line of JSON.
void PrintResult(const ApiJson& answer) {
  if (!answer.is_object() || !answer.contains("result")) return;
  const ApiJson& result = answer["result"];
  if (result.is_null()) return;
  if (result.is_string()) {
    std::cout << JsonTextToBytes(result.get<std::string>()) << '\n';
  } else if (result.is_boolean()) {
    std::cout << (result.get<bool>() ? "true" : "false") << '\n';
  } else {
    std::cout << result.dump() << '\n';
  }
}

// One line per member: its name, its parameters ([optional]) and its kind.
void PrintMembers(const ApiJson& listing) {
  if (!listing.is_object() || !listing.contains("members")) return;
  for (const ApiJson& m : listing["members"]) {
    std::string line = m.value("name", "");
    for (const ApiJson& p : m.value("parameters", ApiJson::array())) {
      const std::string name = p.value("name", "") + ":" + p.value("type", "");
      line += p.value("optional", false) ? " [" + name + "]" : " " + name;
    }
    line += " -> " + m.value("result", "");
    std::cout << line << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{
      "tagvane-ctl: calls one member of the running Tagvane daemon.\n"
      "  tagvane-ctl [options] MEMBER [ARG...]   arguments are sent as texts, in order\n"
      "  tagvane-ctl [options] --list            lists the members and their parameters"};
  EndpointOptions options;
  std::string token;
  std::string json_body;
  bool list = false;
  auto* url = cli.add_option("--url", options.url, "The daemon's API, http://HOST:PORT");
  cli.add_option("--app-dir", options.app_dir,
                 "Application folder: HTTPPort and APIToken from Config/Tagvane.ini")
      ->excludes(url);
  cli.add_option("--token", token, "API token (overrides TAGVANE_API_TOKEN and the INI file)");
  cli.add_option("--json", json_body, "Send this JSON body (array or object) instead of ARGs");
  cli.add_flag("--list", list, "List the members (GET /api/)");
  cli.prefix_command();
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = cli.exit(e);
    return rc == 0 ? 0 : kUsageOrConnection;
  }
  if (cli.count("--token")) options.token = token;
  const std::vector<std::string> rest = cli.remaining();
  if (list != rest.empty()) {
    return Fail(kUsageOrConnection, list ? "--list takes no member"
                                         : "no member given (try --list or --help)");
  }
  if (cli.count("--json") && rest.size() > 1) {
    return Fail(kUsageOrConnection, "give either --json or arguments, not both");
  }
  if (cli.count("--json") && ApiJson::parse(json_body, nullptr, false).is_discarded()) {
    return Fail(kUsageOrConnection, "--json: the body is not JSON");
  }

  try {
    const ApiClient client(ChooseEndpoint(options, ProcessEnv));
    if (list) {
      const ApiReply reply = client.Get("");
      if (!reply.Ok()) return Fail(kApiError, reply.ErrorText());
      PrintMembers(reply.body);
      return 0;
    }
    const std::string& member = rest.front();
    ApiJson args = ApiJson::array();
    for (size_t i = 1; i < rest.size(); ++i) args.push_back(JsonText(rest[i]));
    const ApiReply reply =
        cli.count("--json") ? client.Post(member, json_body) : client.Call(member, args);
    if (!reply.Ok()) return Fail(kApiError, member + ": " + reply.ErrorText());
    PrintResult(reply.body);
    return 0;
  } catch (const std::exception& e) {
    return Fail(kUsageOrConnection, e.what());
  }
}
