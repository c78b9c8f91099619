// `varnockd --dump`: run the modules' refreshes once, print every variable,
// and say which monitored servers did not answer.
#include "host/varnockd/dump.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <map>

#include "varnock_host.h"

namespace varnockd {

namespace {

// The ostrik module's name (as init writes it) and the columns its verdict
// on a server reads.
constexpr char kOstrikModule[] = "ostrik";
constexpr char kPortColumn[] = "apacheConfigPort";
constexpr char kVersionColumn[] = "apacheConfigVersion";
constexpr char kBusyColumn[] = "apacheServerPerfCurrentUsers";
constexpr char kNoText[] = "\"N/A\"";
constexpr char kInfoHealth[] = "apacheServerHealthInfo";
constexpr char kStatusHealth[] = "apacheServerHealthStatus";
constexpr char kThreadsColumn[] = "apacheFootprintNumThreads";
constexpr char kLogStateColumn[] = "apacheLogState";
constexpr char kNoLogState[] = "\"no access log known\"";
constexpr char kLogLinesColumn[] = "apacheLogLines";

// The labels of the health table's outcome column, by value.
constexpr const char *kOutcomes[] = {"notTried", "ok",        "connectFailed", "timedOut",
                                     "cutShort", "httpError", "notThePage",    "certificateRefused",
                                     "tlsFailed"};

// name -> instance -> value.
std::map<std::string, std::map<std::string, std::string>>
by_name(const std::vector<DumpRow> &rows) {
  std::map<std::string, std::map<std::string, std::string>> table;
  for (const DumpRow &row : rows)
    table[row.name][row.instance] = row.value;
  return table;
}

bool runs_ostrik(const std::vector<Module> &modules) {
  return std::any_of(modules.begin(), modules.end(), [](const Module &module) {
    return module.started && module.name == kOstrikModule;
  });
}

} // namespace

std::vector<DumpRow> collect_dump(std::vector<Module> &modules) {
  for (Module &module : modules) {
    if (module.started)
      module.callback();
  }
  return varnock::dump_all_variables();
}

std::vector<std::string> dumped_servers(const std::vector<DumpRow> &rows) {
  std::vector<std::string> ports;
  for (const DumpRow &row : rows) {
    if (row.name == kPortColumn)
      ports.push_back(row.instance);
  }
  return ports;
}

ServerVerdict judge_servers(const std::vector<DumpRow> &rows) {
  const auto table = by_name(rows);
  const auto value = [&](const char *column, const std::string &port) -> std::string {
    const auto col = table.find(column);
    if (col == table.end())
      return "";
    const auto cell = col->second.find(port);
    return cell == col->second.end() ? "" : cell->second;
  };
  // How the page's last fetch ended, from the health table, as "; last
  // fetch: httpError 401"; nothing when the module has no health table.
  const auto last_fetch = [&](const std::string &health, const std::string &port) {
    const std::string outcome = value((health + "Outcome").c_str(), port);
    if (outcome.empty())
      return std::string();
    const int number = atoi(outcome.c_str());
    std::string text = "; last fetch: ";
    text += number >= 0 && number < static_cast<int>(std::size(kOutcomes)) ? kOutcomes[number]
                                                                           : outcome.c_str();
    const std::string code = value((health + "HttpCode").c_str(), port);
    if (!code.empty() && code != "0")
      text += " " + code;
    return text;
  };
  // Whether a page was read: by its own last fetch where the health table
  // says how that went, else by the column that only the page fills.
  const auto page_read = [&](const std::string &health, const std::string &port,
                             bool columnFilled) {
    const std::string outcome = value((health + "Outcome").c_str(), port);
    return outcome.empty() ? columnFilled : outcome == "1";
  };
  ServerVerdict verdict;
  for (const std::string &port : dumped_servers(rows)) {
    const std::string version = value(kVersionColumn, port);
    const std::string busy = value(kBusyColumn, port);
    const bool infoRead = page_read(kInfoHealth, port, !version.empty() && version != kNoText);
    const bool statusRead = page_read(kStatusHealth, port, !busy.empty() && busy != "0");
    const std::string infoMissing = "its /server-info page was not read (" +
                                    std::string(kVersionColumn) + " is N/A" +
                                    last_fetch(kInfoHealth, port) + ")";
    if (statusRead) {
      // A server without mod_info (as many run) answers all the same; only
      // its configuration table stays empty.
      if (!infoRead)
        verdict.notes.push_back("the server at 127.0.0.1:" + port + " answered, but " +
                                infoMissing);
      if (value(kThreadsColumn, port) == "0")
        verdict.unseen.push_back(
            "the processes of the server at 127.0.0.1:" + port + " were not found (" +
            kThreadsColumn +
            " is 0): the descriptors of its processes are not readable and no PID file or status "
            "page names its main process; its footprint is not measured");
      const std::string logState = value(kLogStateColumn, port);
      verdict.countsLogs = verdict.countsLogs || !value(kLogLinesColumn, port).empty();
      if (!logState.empty() && logState != kNoLogState && logState != "\"ok\"" &&
          logState.rfind("\"catching up", 0) != 0)
        verdict.unreadLogs.push_back("an access log of the server at 127.0.0.1:" + port +
                                     " is not read: " + logState);
      if (logState == kNoLogState)
        verdict.notes.push_back("no access log of the server at 127.0.0.1:" + port +
                                " is known: its information page names none, and neither the "
                                "files its processes write nor its distribution's log directory "
                                "show one");
      continue;
    }
    std::string message = "the server at 127.0.0.1:" + port + " did not answer: ";
    if (!infoRead)
      message += infoMissing + "; ";
    message += "its /server-status page was not read (" + std::string(kBusyColumn) + " is " +
               (busy.empty() ? "0" : busy) + last_fetch(kStatusHealth, port) + ")";
    verdict.silent.push_back(message);
  }
  return verdict;
}

int run_dump(std::vector<Module> &modules, const std::string &configDir, FILE *out, FILE *err) {
  const std::vector<DumpRow> rows = collect_dump(modules);
  varnock::print_dump(out, rows);
  if (!runs_ostrik(modules))
    return 0;

  const std::vector<std::string> servers = dumped_servers(rows);
  if (servers.empty()) {
    fprintf(err, "varnockd: no server is configured: %s/ostrik.cf names none\n", configDir.c_str());
    return 1;
  }
  const ServerVerdict verdict = judge_servers(rows);
  for (const std::string &message : verdict.notes)
    fprintf(err, "varnockd: %s\n", message.c_str());
  const std::vector<std::string> &silent = verdict.silent;
  for (const std::string &message : silent)
    fprintf(err, "varnockd: %s\n", message.c_str());
  if (!silent.empty()) {
    fprintf(err, "varnockd: %zu of %zu configured servers did not answer\n", silent.size(),
            servers.size());
    return 1;
  }
  for (const std::string &message : verdict.unseen)
    fprintf(err, "varnockd: %s\n", message.c_str());
  for (const std::string &message : verdict.unreadLogs)
    fprintf(err, "varnockd: %s\n", message.c_str());
  if (verdict.countsLogs)
    fprintf(err, "varnockd: the access-log counters count from this dump's start: each log is "
                 "read from its end, so they hold only what was written since\n");
  std::string list;
  for (const std::string &port : servers)
    list += (list.empty() ? "127.0.0.1:" : ", 127.0.0.1:") + port;
  if (!verdict.unseen.empty() || !verdict.unreadLogs.empty()) {
    // They answered, so the status stays 0; but their footprint's zeros,
    // and the counts of a log not read, are not to be read as a measure.
    std::string but;
    if (!verdict.unseen.empty())
      but = "the processes of " + std::to_string(verdict.unseen.size()) + " of them were not found";
    if (!verdict.unreadLogs.empty())
      but += (but.empty() ? "" : ", and ") + std::string("the access logs of ") +
             std::to_string(verdict.unreadLogs.size()) + " of them are not all read";
    fprintf(err, "varnockd: every configured server answered (%s), but %s\n", list.c_str(),
            but.c_str());
    return 0;
  }
  fprintf(err, "varnockd: every configured server answered (%s)\n", list.c_str());
  return 0;
}

} // namespace varnockd
