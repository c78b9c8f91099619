// `varnockd --dump`: the table it prints, and its verdict on the configured
// servers against real Apache instances, ports where nothing listens, wrong
// credentials and a server without its status page.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "module/ostrik.h"
#include "tests/support/apache.h"
#include "tests/support/process.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::TempDir;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "dump-secret";
// Original variables the module answers for one server: two scalars, 25
// configuration columns, 11 answered footprint columns, 15 performance
// columns. The Apache 2.4 and health tables follow them; how many of their
// columns a row has depends on what the server's pages said.
constexpr size_t kRowsPerServer = 25 + 11 + 15;

CommandResult dump(const std::string &ostrik_cf, std::vector<std::string> extra = {}) {
  TempDir dir;
  if (!ostrik_cf.empty()) {
    testsupport::write_file(dir.file("ostrik.cf"), ostrik_cf);
    chmod(dir.file("ostrik.cf").c_str(), 0600); // it holds passwords
  }
  std::vector<std::string> argv = {VARNOCKD_PATH, "--dump", "--config-dir", dir.path()};
  if (extra.empty())
    extra = {"--module", OSTRIK_MODULE_PATH};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return testsupport::run_command(argv, 120.0);
}

std::string server_line(int port, const std::string &password = kPassword) {
  return "apache " + std::to_string(port) + " " + kUser + " " + password + " 60\n";
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

bool of_added_table(const std::string &line) {
  for (const char *table : {"apacheServerPerfExt", "apacheServerHealth", "apacheLog"}) {
    if (line.rfind(table, 0) == 0) {
      return true;
    }
  }
  return false;
}

// The header and the lines of the original variables, which come first.
std::vector<std::string> original_lines_of(const std::string &text) {
  std::vector<std::string> lines = lines_of(text);
  const auto added = std::find_if(lines.begin(), lines.end(), of_added_table);
  EXPECT_TRUE(std::all_of(added, lines.end(), of_added_table)) << text;
  lines.erase(added, lines.end());
  return lines;
}

// The fields of a table row: name, instance, type, value (the value may hold
// blanks).
std::vector<std::string> fields_of(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> fields(3);
  in >> fields[0] >> fields[1] >> fields[2];
  std::string value;
  std::getline(in >> std::ws, value);
  fields.push_back(value);
  return fields;
}

// The value of NAME.INSTANCE in a dump, or "(none)".
std::string value_of(const std::string &out, const std::string &name, const std::string &instance) {
  for (const std::string &line : lines_of(out)) {
    const std::vector<std::string> f = fields_of(line);
    if (f[0] == name && f[1] == instance)
      return f[3];
  }
  return "(none)";
}

// The line for a server whose pages were not read; info and status say how
// each page's last fetch ended ("" for a page that was read).
std::string not_answered(int port, const std::string &info, const std::string &status) {
  std::string message =
      "varnockd: the server at 127.0.0.1:" + std::to_string(port) + " did not answer: ";
  if (!info.empty())
    message +=
        "its /server-info page was not read (apacheConfigVersion is N/A; last fetch: " + info + ")";
  if (!info.empty() && !status.empty())
    message += "; ";
  if (!status.empty())
    message += "its /server-status page was not read (apacheServerPerfCurrentUsers is 0; last "
               "fetch: " +
               status + ")";
  return message + "\n";
}

TEST(Dump, PrintsEveryVariableOfARealApacheAndExitsZero) {
  ApacheInstance apache(kUser, kPassword);
  const std::string port = std::to_string(apache.port());
  CommandResult r = dump(server_line(apache.port()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Its logs are counted from the dump's start, and it says so.
  EXPECT_EQ(r.err, "varnockd: the access-log counters count from this dump's start: each log is "
                   "read from its end, so they hold only what was written since\n"
                   "varnockd: every configured server answered (127.0.0.1:" +
                       port + ")\n");

  const std::vector<std::string> lines = original_lines_of(r.out);
  ASSERT_EQ(lines.size(), 1 + 2 + kRowsPerServer) << r.out;
  EXPECT_EQ(fields_of(lines[0]), (std::vector<std::string>{"NAME", "INSTANCE", "TYPE", "VALUE"}));
  // The columns line up: every row's instance starts where the header's does.
  const size_t instance_at = lines[0].find("INSTANCE");
  for (const std::string &line : lines_of(r.out))
    EXPECT_EQ(line.find_first_not_of(' ', line.find(' ')), instance_at) << line;

  EXPECT_EQ(fields_of(lines[1]),
            (std::vector<std::string>{"ostrikVersion", "0", "STRING",
                                      std::string("\"") + OSTRIK_TITLE + "\""}));
  EXPECT_EQ(fields_of(lines[2]), (std::vector<std::string>{"ostrikMode", "0", "INTEGER", "1"}));
  EXPECT_EQ(value_of(r.out, "apacheConfigPort", port), port);
  EXPECT_EQ(value_of(r.out, "apacheConfigVersion", port).rfind("\"Apache/2.", 0), 0u) << r.out;
  EXPECT_EQ(value_of(r.out, "apacheConfigPID", port),
            std::to_string(std::stol(testsupport::read_file(apache.pid_file()))));
  EXPECT_EQ(fields_of(lines[3 + 25])[0], "apacheFootprintPort");
  EXPECT_EQ(fields_of(lines[3 + 25])[2], "Counter32");
  EXPECT_NE(value_of(r.out, "apacheFootprintTotalRSS", port), "0");
  EXPECT_EQ(fields_of(lines.back()),
            (std::vector<std::string>{"apacheServerPerfCurrentBusyProcs", port, "Gauge32",
                                      fields_of(lines.back())[3]}));
  EXPECT_NE(value_of(r.out, "apacheServerPerfCurrentUsers", port), "0");

  // The added tables: the prefork server's items, a 64-bit counter, and two
  // pages read at once.
  EXPECT_EQ(value_of(r.out, "apacheServerPerfExtMPM", port), "\"prefork\"");
  EXPECT_EQ(value_of(r.out, "apacheServerPerfExtConnsTotal", port), "(none)");
  EXPECT_EQ(value_of(r.out, "apacheServerPerfExtScoreboardSize", port), "20");
  for (const std::string &line : lines_of(r.out)) {
    if (fields_of(line)[0] == "apacheServerPerfExtTotalAccesses") {
      EXPECT_EQ(fields_of(line)[2], "Counter64");
    }
  }
  for (const char *page : {"Status", "Info"}) {
    const std::string health = std::string("apacheServerHealth") + page;
    EXPECT_EQ(value_of(r.out, health + "Outcome", port), "1") << page;
    EXPECT_EQ(value_of(r.out, health + "HttpCode", port), "200") << page;
    EXPECT_EQ(value_of(r.out, health + "Failures", port), "0") << page;
    EXPECT_LE(std::stol(value_of(r.out, health + "Age", port)), 5) << page;
  }
  // The access log the info page names, read from its end on.
  EXPECT_EQ(value_of(r.out, "apacheLogFiles", port), "1");
  EXPECT_EQ(value_of(r.out, "apacheLogState", port), "\"ok\"");
  EXPECT_TRUE(of_added_table(lines_of(r.out).back()));
}

TEST(Dump, NamesEveryServerThatDidNotAnswerAndExitsOne) {
  ApacheInstance apache(kUser, kPassword);
  // The status page is switched off: the information page alone answers.
  ApacheInstance no_status(kUser, kPassword,
                           "<Location /server-status>\n  SetHandler none\n</Location>\n");
  const int closed = testsupport::free_tcp_port();
  struct Case {
    std::string what;
    std::string ostrik_cf;
    std::string err;
    size_t rows; // table rows without the header
  };
  const std::vector<Case> cases = {
      {"a port where nothing listens", server_line(closed),
       not_answered(closed, "connectFailed", "connectFailed") +
           "varnockd: 1 of 1 configured servers did not answer\n",
       2 + kRowsPerServer},
      {"wrong credentials", server_line(apache.port(), "wrong"),
       not_answered(apache.port(), "httpError 401", "httpError 401") +
           "varnockd: 1 of 1 configured servers did not answer\n",
       2 + kRowsPerServer},
      {"no status page", server_line(no_status.port()),
       not_answered(no_status.port(), "", "httpError 404") +
           "varnockd: 1 of 1 configured servers did not answer\n",
       2 + kRowsPerServer},
      {"one of two servers down", server_line(apache.port()) + server_line(closed),
       not_answered(closed, "connectFailed", "connectFailed") +
           "varnockd: 1 of 2 configured servers did not answer\n",
       2 + 2 * kRowsPerServer},
      {"no server configured", "# nothing here\n", "varnockd: no server is configured: ", 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CommandResult r = dump(c.ostrik_cf);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    // The table is printed all the same, with every server's rows.
    EXPECT_EQ(original_lines_of(r.out).size(), 1 + c.rows) << r.out;
  }
  // What the verdict reads: a server that never answered shows no version.
  CommandResult closed_only = dump(server_line(closed));
  EXPECT_EQ(value_of(closed_only.out, "apacheConfigVersion", std::to_string(closed)), "\"N/A\"");
  EXPECT_EQ(value_of(closed_only.out, "apacheServerPerfCurrentUsers", std::to_string(closed)), "0");
  // The health table says why: no connection to either page, never read.
  EXPECT_EQ(value_of(closed_only.out, "apacheServerHealthStatusOutcome", std::to_string(closed)),
            "2");
  EXPECT_EQ(value_of(closed_only.out, "apacheServerHealthInfoOutcome", std::to_string(closed)),
            "2");
  EXPECT_EQ(value_of(closed_only.out, "apacheServerHealthStatusAge", std::to_string(closed)),
            "(none)");
}

// The number on the status page's line that starts with label; -1 without.
long status_number(const std::string &page, const std::string &label) {
  const size_t at = page.find("\n" + label);
  return at == std::string::npos ? -1 : std::stol(page.substr(at + 1 + label.size()));
}

// Apache as Debian ships it, without mod_info's page: the status page alone
// gives the workers, the listening socket the processes, and the server
// counts as answering. Four children that never change, so that the workers
// the dump read are those of a page fetched after it.
TEST(Dump, AServerWithoutItsInfoPageAnswersWithItsWorkersAndFootprint) {
  ApacheInstance apache(kUser, kPassword,
                        "StartServers 4\nMinSpareServers 1\nMaxSpareServers 4\nServerLimit 4\n"
                        "MaxRequestWorkers 4\nKeepAlive Off\n"
                        "<Location /server-info>\n  SetHandler none\n</Location>\n");
  const std::string port = std::to_string(apache.port());
  apache.load(1.0);
  CommandResult r = dump(server_line(apache.port()));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("varnockd: the server at 127.0.0.1:" + port +
                       " answered, but its /server-info page was not read (apacheConfigVersion "
                       "is N/A; last fetch: httpError 404)\n"),
            std::string::npos)
      << r.err;
  // The workers as the status page counts them; the dump's page was fetched
  // beside the info page, whose request may have kept a worker busy.
  const std::string page = apache.get("/server-status?auto", kUser, kPassword);
  const long long busy = std::stoll(value_of(r.out, "apacheServerPerfCurrentUsers", port));
  EXPECT_GE(busy, 1) << r.out;
  EXPECT_EQ(busy + std::stoll(value_of(r.out, "apacheServerPerfCurrentIdleProcs", port)),
            status_number(page, "BusyWorkers: ") + status_number(page, "IdleWorkers: "))
      << page;
  EXPECT_EQ(value_of(r.out, "apacheConfigPID", port), "0");
  for (const char *column : {"apacheFootprintCPUTime", "apacheFootprintTotalRSS",
                             "apacheFootprintTotalMEMSize", "apacheFootprintNumThreads"}) {
    EXPECT_NE(value_of(r.out, column, port), "0") << column;
  }
  // No info page names the access log: it is found among the files that the
  // server's processes hold open for writing, and the error log is left out.
  EXPECT_EQ(value_of(r.out, "apacheLogFiles", port), "1") << r.out;
  EXPECT_EQ(value_of(r.out, "apacheLogState", port), "\"ok\"") << r.out;
}

TEST(Dump, OtherModulesArePrintedWithoutAVerdict) {
  CommandResult r = dump("", {"--module", VARNOCK_TEST_MODULE_PATH});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The module's callback ran once before the walk (testTicks), every type
  // is shown as Net-SNMP names it, and unsigned values stay unsigned.
  EXPECT_EQ(r.out, "NAME          INSTANCE  TYPE       VALUE\n"
                   "testTitle     0         STRING     \"varnock test module\"\n"
                   "testTicks     0         Counter32  1\n"
                   "testPort      80        INTEGER    80\n"
                   "testPort      443       INTEGER    443\n"
                   "testLoad      80        Gauge32    7\n"
                   "testLoad      443       Gauge32    4000000000\n"
                   "testBytes     80        Counter64  5\n"
                   "testBytes     443       Counter64  18446744073709551615\n"
                   "testNegative  0         INTEGER    -5\n");
}

TEST(Dump, RefusesListeningAddressesAndAgentx) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--dump", "udp:127.0.0.1:1161"}, "no listening address goes with --dump"},
      {{"--agentx", "udp:127.0.0.1:1161"}, "no listening address goes with --agentx"},
      {{"--dump", "--agentx"}, "--dump and --agentx exclude each other"},
      {{"--agentx-ping", "5"}, "--agentx-ping goes with --agentx"},
      {{"--agentx", "--agentx-ping", "0"}, "--agentx-ping needs a whole number of seconds"},
      {{"--agentx="}, "--agentx= needs a socket"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv = {VARNOCKD_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandResult r = testsupport::run_command(argv, 30.0);
    EXPECT_EQ(r.exit_code, 1) << c.args.at(0);
    EXPECT_NE(r.err.find("varnockd: " + c.message), std::string::npos) << r.err;
  }
}

} // namespace
