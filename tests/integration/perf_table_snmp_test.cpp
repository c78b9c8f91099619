// The server performance table over SNMP: varnockd with the ostrik module
// watching a real Apache 2.4, compared with the status page Apache shows.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::Varbind;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "perf-secret";
const std::string kTable = ".1.3.6.1.4.1.32473.16.3.11.2";
const std::string kColumn = kTable + ".1.";
const std::string kConfigPort = ".1.3.6.1.4.1.32473.16.3.10.1.1.";

// Three children that stay: one serves the request, two wait, and neither
// bound makes the parent start or stop one while the test runs.
// A second log gives every request's bytes on the wire, both ways and
// headers included, which is what Apache adds to its traffic total.
constexpr char kApacheConf[] = "StartServers 3\nMinSpareServers 1\nMaxSpareServers 4\n"
                               "LogFormat \"%I %O \\\"%r\\\"\" wire\n"
                               "CustomLog logs/wire_log wire\n";

// The numbers of a /server-status?auto answer, by label.
struct StatusPage {
  std::map<std::string, std::string> items;
  long number(const std::string &label) const {
    auto it = items.find(label);
    return it == items.end() ? -1 : std::stol(it->second);
  }
  std::string text(const std::string &label) const {
    auto it = items.find(label);
    return it == items.end() ? "" : it->second;
  }
};

StatusPage read_status(const ApacheInstance &apache) {
  const std::string answer = apache.get("/server-status?auto", kUser, kPassword);
  StatusPage page;
  const size_t body = answer.find("\r\n\r\n");
  std::istringstream lines(body == std::string::npos ? "" : answer.substr(body + 4));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos && page.items.count(line.substr(0, colon)) == 0) {
      page.items[line.substr(0, colon)] = line.substr(colon + 2);
    }
  }
  return page;
}

// The wire log's lines, in the order the requests ended: each request and
// its bytes received and sent.
struct LogLine {
  std::string request;
  long bytes;
};

std::vector<LogLine> read_wire_log(const ApacheInstance &apache) {
  std::vector<LogLine> out;
  std::istringstream lines(testsupport::read_file(apache.dir() + "/logs/wire_log"));
  std::string line;
  const std::regex wire(R"re(^(\d+) (\d+) "([^"]*)"$)re");
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_match(line, m, wire)) {
      out.push_back({m[3], std::stol(m[1]) + std::stol(m[2])});
    }
  }
  return out;
}

// Column number -> the integer that the walk answered for the row of port.
std::map<int, long> walk_row(const std::vector<Varbind> &got, int port, std::string *types) {
  std::map<int, long> row;
  const std::regex value(R"re(^(Counter32|Gauge32): (\d+)$)re");
  for (const Varbind &vb : got) {
    const std::string suffix = "." + std::to_string(port);
    if (vb.oid.rfind(kColumn, 0) != 0 || vb.oid.size() <= suffix.size() ||
        vb.oid.compare(vb.oid.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const int col = std::stoi(vb.oid.substr(kColumn.size()));
    std::smatch m;
    if (std::regex_match(vb.value, m, value)) {
      row[col] = std::stol(m[2]);
      *types += std::to_string(col) + ":" + std::string(m[1]) + " ";
    }
  }
  return row;
}

TEST(PerfTableOverSnmp, WalkAnswersWhatTheStatusPageShows) {
  ApacheInstance apache(kUser, kPassword, kApacheConf);
  // A page of 10000 bytes, so that the traffic total reaches whole kBytes.
  testsupport::write_file(apache.document_root() + "/big.html", std::string(10000, 'x'));

  const StatusPage before = read_status(apache);
  ASSERT_GE(before.number("Total Accesses"), 0) << "no status page";

  constexpr int kRequests = 7;
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_NE(apache.get("/big.html").find(" 200 OK"), std::string::npos);
  }

  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf =
      "apache " + std::to_string(apache.port()) + " " + kUser + " " + kPassword + " 0\n";
  // No collection after the first, however slow the machine: at the default
  // tick, one begun ten seconds on reads the status page again.
  setup.tick_seconds = 300;
  Varnockd daemon(setup);

  // The daemon's first collection fetched /server-info and the status page
  // together. Waiting a moment lets every child return to the waiting state
  // before the page read after.
  const std::string port_oid = kConfigPort + std::to_string(apache.port());
  CommandResult config = daemon.get({port_oid});
  ASSERT_EQ(config.exit_code, 0) << config.err;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  // The walk answers what the first collection read.
  CommandResult walk = daemon.walk(kTable);
  ASSERT_EQ(walk.exit_code, 0) << walk.err;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const StatusPage after = read_status(apache);
  const long elapsed = daemon.seconds_running();
  const std::vector<LogLine> log = read_wire_log(apache);
  std::string requests;
  for (const LogLine &line : log)
    requests += line.request + "\n";

  std::string types;
  std::map<int, long> row = walk_row(testsupport::parse_varbinds(walk.out), apache.port(), &types);
  ASSERT_EQ(row.size(), 15u) << walk.out;
  EXPECT_EQ(types, "1:Counter32 2:Counter32 3:Counter32 4:Counter32 5:Gauge32 6:Gauge32 "
                   "7:Gauge32 8:Gauge32 9:Gauge32 10:Gauge32 11:Gauge32 12:Gauge32 13:Gauge32 "
                   "14:Gauge32 15:Gauge32 ");
  EXPECT_EQ(row[1], apache.port());

  // The requests that ended: the page read before, the test's requests, the
  // module's info and status pages (sent together, so in either order), the
  // page read after. The walk answers from the module's status page, which
  // counts what ended before it: the info request, or not yet.
  ASSERT_EQ(log.size(), static_cast<size_t>(1 + kRequests + 3)) << requests;
  const size_t ours = 1 + kRequests;
  const size_t info = log[ours].request == "GET /server-info HTTP/1.0" ? ours : ours + 1;
  EXPECT_EQ(log[info].request, "GET /server-info HTTP/1.0");
  EXPECT_EQ(log[log.size() - 1].request, "GET /server-status?auto HTTP/1.0");
  const long base = before.number("Total Accesses") + static_cast<long>(ours);
  const long info_counted = row[3] - base;
  EXPECT_TRUE(info_counted == 0 || info_counted == 1) << row[3] << " against " << base;
  EXPECT_EQ(after.number("Total Accesses"), base + 2);

  // Traffic: every request that ended before the module's, both ways.
  long shown_to_module = info_counted == 1 ? log[info].bytes : 0;
  long shown_after = 0;
  for (size_t i = 0; i + 1 < log.size(); ++i) {
    shown_to_module += i < ours ? log[i].bytes : 0;
    shown_after += log[i].bytes;
  }
  EXPECT_EQ(row[4], shown_to_module / 1024);
  // The log and the page read after agree on the same rule.
  EXPECT_EQ(after.number("Total kBytes"), shown_after / 1024);
  EXPECT_GE(row[4], kRequests * 10000 / 1024);

  // Uptime: between the two pages, the one read after at most the time
  // since the daemon started later.
  EXPECT_GE(row[2], before.number("Uptime"));
  EXPECT_LE(row[2], after.number("Uptime"));
  EXPECT_LE(after.number("Uptime") - row[2], elapsed);

  // Workers: the one serving the page busy, and the one serving the info
  // page when that had not ended; the others waiting.
  EXPECT_TRUE(row[5] == 1 || row[5] == 2) << row[5];
  EXPECT_EQ(row[5] + row[6], after.number("BusyWorkers") + after.number("IdleWorkers"));

  // The scoreboard, counted here from the page read after; the module's
  // page may show the info page's worker too, in a state that these
  // columns count or in one they do not (closing, 'C').
  const long extra = row[5] - 1;
  const std::string board = after.text("Scoreboard");
  ASSERT_FALSE(board.empty());
  const std::string states = "SRWKDLG";
  long sum = 0;
  long sum_after = 0;
  for (int i = 0; i < 7; ++i) {
    const long count = static_cast<long>(std::count(board.begin(), board.end(), states[i]));
    if (extra == 0) {
      EXPECT_EQ(row[7 + i], count) << "state " << states[i] << " in " << board;
    }
    sum += row[7 + i];
    sum_after += count;
  }
  EXPECT_GE(sum, sum_after) << board;
  EXPECT_LE(sum, sum_after + extra) << board;
  EXPECT_GE(row[9], 1) << board; // 'W': the worker that served the page
  EXPECT_EQ(row[14], row[6] + sum);
  EXPECT_EQ(row[15], sum);
}

} // namespace
