// The Apache 2.4 columns and the collection health over SNMP, and the
// original variables beside them: varnockd with the ostrik module watching
// real Apache servers under the event and the prefork MPM, one that refuses
// the module's credentials, one that is stopped and one that hangs.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/hostile_server.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::kHealthEntry;
using testsupport::kPerfExtEntry;
using testsupport::Mpm;
using testsupport::OstrikWalk;
using testsupport::Varbind;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "ext-secret";

// The walk of the original variables saved from the module before the new
// tables came, normalised as below.
const std::string kOriginalWalk =
    std::string(OSTRIK_SOURCE_DIR) + "/tests/integration/data/original_walk.txt";

// One monitored server as the walks name it.
struct Role {
  std::string name; // EVENT, PREFORK, DENIED, STOPPED
  int port;
  std::string dir; // the instance directory, in path values
  bool live;       // its pages are read: its counters move
  bool running;    // its processes are found (by its listening socket): its footprint moves
};

// The servers of every test here, and the daemon that watches them.
class ExtServers : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    event_ = new ApacheInstance(kUser, kPassword, "", Mpm::Event);
    prefork_ = new ApacheInstance(kUser, kPassword, "", Mpm::Prefork);
    denied_ = new ApacheInstance(kUser, kPassword, "", Mpm::Prefork);
    stopped_ = new ApacheInstance(kUser, kPassword, "", Mpm::Prefork);
    stopped_->stop();
  }
  static void TearDownTestSuite() {
    for (ApacheInstance **apache : {&event_, &prefork_, &denied_, &stopped_}) {
      delete *apache;
      *apache = nullptr;
    }
  }

  static std::vector<Role> roles() {
    return {{"EVENT", event_->port(), event_->dir(), true, true},
            {"PREFORK", prefork_->port(), prefork_->dir(), true, true},
            {"DENIED", denied_->port(), denied_->dir(), false, true},
            {"STOPPED", stopped_->port(), stopped_->dir(), false, false}};
  }

  // The daemon watching the four servers, and any others of extra_cf.
  static std::unique_ptr<Varnockd> start_daemon(const std::string &extra_cf = "") {
    VarnockdSetup setup;
    setup.daemon = VARNOCKD_PATH;
    setup.modules = {OSTRIK_MODULE_PATH};
    setup.ostrik_cf = extra_cf;
    // Each request runs the module's refreshes, so a value can be held
    // against the page fetched just before and after it.
    setup.extra_args = {"--serve", "live"};
    for (const Role &role : roles()) {
      const std::string password = role.name == "DENIED" ? "wrong" : kPassword;
      setup.ostrik_cf +=
          "apache " + std::to_string(role.port) + " " + kUser + " " + password + " 0\n";
    }
    return std::make_unique<Varnockd>(setup);
  }

  static ApacheInstance *event_;
  static ApacheInstance *prefork_;
  static ApacheInstance *denied_;
  static ApacheInstance *stopped_;
};

ApacheInstance *ExtServers::event_ = nullptr;
ApacheInstance *ExtServers::prefork_ = nullptr;
ApacheInstance *ExtServers::denied_ = nullptr;
ApacheInstance *ExtServers::stopped_ = nullptr;

// Arcs of a numeric OID.
std::vector<long long> arcs_of(const std::string &oid) {
  std::vector<long long> arcs;
  size_t at = 0;
  while (at < oid.size() && oid[at] == '.') {
    const size_t end = oid.find('.', at + 1);
    arcs.push_back(std::stoll(oid.substr(at + 1, end - at - 1)));
    at = end;
  }
  return arcs;
}

// The original variables of a walk of the module's subtree, in a form that
// stays the same from one run to the next: rows named by role instead of by
// port (ports are picked free at each run), in role order within a column;
// instance directories, ports and Apache's patch level replaced by names;
// and the values that move with time (process ids, counters, resource use)
// of the servers whose pages are read replaced by '#', their types kept.
// Lines that show a fault of the walk itself (an original variable after a
// newer one, rows out of port order) are part of the text, so that the
// comparison fails on them.
std::string normalise_original_walk(const std::string &walk_out, const std::vector<Role> &roles) {
  const std::vector<long long> subtree = arcs_of(testsupport::kOstrikSubtree);
  struct Cell {
    size_t order;       // the column's place in the walk
    std::string column; // e.g. "config.3"
    std::string role;
    std::string value;
  };
  std::map<std::string, size_t> column_order;
  const auto order_of = [&](const std::string &column) {
    return column_order.emplace(column, column_order.size()).first->second;
  };
  std::vector<Cell> cells;
  std::vector<std::string> faults;
  bool past_original = false;
  std::map<std::string, long long> last_port; // column -> port of its last row
  for (const Varbind &vb : testsupport::parse_varbinds(walk_out)) {
    std::vector<long long> arcs = arcs_of(vb.oid);
    if (arcs.size() < subtree.size() || !std::equal(subtree.begin(), subtree.end(), arcs.begin()))
      continue;
    arcs.erase(arcs.begin(), arcs.begin() + static_cast<long>(subtree.size()));
    std::string table;
    size_t column_at = 0;
    if (arcs.size() == 2 && (arcs[0] == 1 || arcs[0] == 2)) {
      const std::string name = "scalar." + std::to_string(arcs[0]);
      cells.push_back({order_of(name), name, "-", vb.value});
      if (past_original)
        faults.push_back("after a newer variable: " + vb.oid);
      continue;
    } else if (arcs.size() == 4 && arcs[0] == 10 && arcs[1] == 1) {
      table = "config";
      column_at = 2;
    } else if (arcs.size() == 5 && arcs[0] == 11 && arcs[1] == 1 && arcs[2] == 1) {
      table = "footprint";
      column_at = 3;
    } else if (arcs.size() == 5 && arcs[0] == 11 && arcs[1] == 2 && arcs[2] == 1) {
      table = "perf";
      column_at = 3;
    } else {
      past_original = true;
      continue;
    }
    if (past_original)
      faults.push_back("after a newer variable: " + vb.oid);
    const long long column = arcs[column_at];
    const long long port = arcs[column_at + 1];
    const std::string column_name = table + "." + std::to_string(column);
    if (last_port.count(column_name) != 0 && last_port[column_name] >= port)
      faults.push_back("rows out of port order in " + column_name);
    last_port[column_name] = port;

    const auto role =
        std::find_if(roles.begin(), roles.end(), [&](const Role &r) { return r.port == port; });
    if (role == roles.end()) {
      faults.push_back("a row of no configured server: " + vb.oid);
      continue;
    }
    std::string value = vb.value;
    for (const Role &r : roles) {
      size_t at;
      while ((at = value.find(r.dir)) != std::string::npos)
        value.replace(at, r.dir.size(), "<" + r.name + "-DIR>");
      value = std::regex_replace(value, std::regex("\\b" + std::to_string(r.port) + "\\b"),
                                 "<" + r.name + "-PORT>");
    }
    value = std::regex_replace(value, std::regex(R"(Apache/2\.4\.\d+)"), "Apache/2.4.x");
    const bool moves =
        (role->live && ((table == "config" && column == 3) || (table == "perf" && column != 1))) ||
        (role->running && table == "footprint" && column != 1 && column != 19);
    if (moves)
      value = std::regex_replace(value, std::regex(R"(^(\w+): -?\d+$)"), "$1: #");
    cells.push_back({order_of(column_name), column_name, role->name, value});
  }
  // Role order within each column; the columns stay in walk order.
  std::sort(cells.begin(), cells.end(), [](const Cell &a, const Cell &b) {
    return a.order != b.order ? a.order < b.order : a.role < b.role;
  });
  std::string text;
  for (const Cell &cell : cells)
    text += cell.column + "." + cell.role + " = " + cell.value + "\n";
  for (const std::string &fault : faults)
    text += "FAULT " + fault + "\n";
  return text;
}

TEST_F(ExtServers, TheOriginalVariablesAnswerAsBeforeTheNewTables) {
  auto daemon = start_daemon();
  CommandResult walk = daemon->walk(testsupport::kOstrikSubtree);
  ASSERT_EQ(walk.exit_code, 0) << walk.err;
  const std::string normalised = normalise_original_walk(walk.out, roles());
  // OSTRIK_RECORD_ORIGINAL_WALK=1 saves the walk of the module at hand as
  // the one to compare with; it was saved from the module before the
  // Apache 2.4 and health tables were added.
  if (getenv("OSTRIK_RECORD_ORIGINAL_WALK") != nullptr) {
    testsupport::write_file(kOriginalWalk, normalised);
    GTEST_SKIP() << "recorded " << kOriginalWalk;
  }
  EXPECT_EQ(normalised, testsupport::read_file(kOriginalWalk));
}

// The items of a /server-status?auto page, by label ("Total Accesses").
std::map<std::string, std::string> status_items(const ApacheInstance &apache) {
  const std::string answer = apache.get("/server-status?auto", kUser, kPassword);
  std::map<std::string, std::string> items;
  const size_t body = answer.find("\r\n\r\n");
  std::istringstream lines(body == std::string::npos ? "" : answer.substr(body + 4));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos)
      items.emplace(line.substr(0, colon), line.substr(colon + 2));
  }
  return items;
}

// A decimal as Apache prints it, in hundredths, truncated.
long long hundredths(const std::string &text) {
  return static_cast<long long>(std::stold(text) * 100.0L + 1e-9L);
}

// The Apache 2.4 table's columns and the page items they come from.
enum class Reading { Text, Counter, Gauge, Hundredths, Board };
struct ExtColumn {
  int column;
  std::string label; // the page's label; for Board, the scoreboard mark or "" for its length
  Reading reading;
  std::string type; // as the tools print it
  bool event_only;
};
const std::vector<ExtColumn> kExtColumns = {
    {2, "ServerMPM", Reading::Text, "STRING", false},
    {3, "Total Accesses", Reading::Counter, "Counter64", false},
    {4, "Total kBytes", Reading::Counter, "Counter64", false},
    {5, "Total Duration", Reading::Counter, "Counter64", false},
    {6, "CPULoad", Reading::Hundredths, "Gauge32", false},
    {7, "Load1", Reading::Hundredths, "Gauge32", false},
    {8, "Load5", Reading::Hundredths, "Gauge32", false},
    {9, "Load15", Reading::Hundredths, "Gauge32", false},
    {10, "Processes", Reading::Gauge, "Gauge32", true},
    {11, "Stopping", Reading::Gauge, "Gauge32", true},
    {12, "GracefulWorkers", Reading::Gauge, "Gauge32", false},
    {13, "ConnsTotal", Reading::Gauge, "Gauge32", true},
    {14, "ConnsAsyncWriting", Reading::Gauge, "Gauge32", true},
    {15, "ConnsAsyncKeepAlive", Reading::Gauge, "Gauge32", true},
    {16, "ConnsAsyncClosing", Reading::Gauge, "Gauge32", true},
    {17, "ConnsAsyncWaitIO", Reading::Gauge, "Gauge32", true},
    {18, "I", Reading::Board, "Gauge32", false},
    {19, "C", Reading::Board, "Gauge32", false},
    {20, ".", Reading::Board, "Gauge32", false},
    {21, "", Reading::Board, "Gauge32", false},
    {22, "ParentServerConfigGeneration", Reading::Gauge, "INTEGER", false},
    {23, "ParentServerMPMGeneration", Reading::Gauge, "INTEGER", false},
};

// What a page says for a column; empty when the page lacks it.
std::string page_value(const std::map<std::string, std::string> &page, const ExtColumn &c) {
  const bool board = c.reading == Reading::Board;
  const auto it = page.find(board ? "Scoreboard" : c.label);
  if (it == page.end())
    return "";
  if (!board)
    return it->second;
  if (c.label.empty())
    return std::to_string(it->second.size());
  return std::to_string(std::count(it->second.begin(), it->second.end(), c.label[0]));
}

long long as_number(const ExtColumn &c, const std::string &text) {
  return c.reading == Reading::Hundredths ? hundredths(text) : std::stoll(text);
}

// The CPU seconds and the uptime a page reports, which bound CPULoad.
struct CpuUse {
  long double cpu, uptime;
};
CpuUse cpu_use(const std::map<std::string, std::string> &page) {
  long double cpu = 0;
  for (const char *label : {"CPUUser", "CPUSystem", "CPUChildrenUser", "CPUChildrenSystem"})
    cpu += page.count(label) != 0 ? std::stold(page.at(label)) : 0;
  return {cpu, std::stold(page.at("Uptime"))};
}

TEST_F(ExtServers, Apache24ColumnsAnswerWhatTheStatusPageShows) {
  auto daemon = start_daemon();
  // The daemon's start read the status pages; the walk below reads them
  // again only once their 10 s gate has passed.
  const auto status_due = std::chrono::steady_clock::now() + std::chrono::seconds(11);
  // Requests for the counters, the module's info fetch (if the daemon's
  // first tick has not made it), then a moment for every connection to
  // close, so that the pages read around the walk see the same workers and
  // connections as the module's.
  for (ApacheInstance *apache : {event_, prefork_}) {
    for (int i = 0; i < 5; ++i)
      ASSERT_NE(apache->get("/index.html").find(" 200 OK"), std::string::npos);
  }
  ASSERT_EQ(
      daemon->get({testsupport::kConfigEntry + std::string(".1.") + std::to_string(event_->port())})
          .exit_code,
      0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  std::map<std::string, std::string> event_before, prefork_before, event_after, prefork_after;
  OstrikWalk walk;
  // On a busy machine the daemon's first read may come late, and a walk
  // within its gate answers that read: then the gate is waited out again
  // (at most twice more), until the walk read the pages between the two.
  auto fresh = [&](ApacheInstance &apache, const std::map<std::string, std::string> &before) {
    return walk.number(kPerfExtEntry, 3, apache.port()) > std::stoll(before.at("Total Accesses"));
  };
  for (auto due = status_due, last = due + std::chrono::seconds(30); due <= last;
       due = std::chrono::steady_clock::now() + std::chrono::seconds(11)) {
    std::this_thread::sleep_until(due);
    event_before = status_items(*event_);
    prefork_before = status_items(*prefork_);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The walk's first answer fetches the status pages; the rest answer
    // what was stored from them.
    CommandResult r = daemon->walk(testsupport::kOstrikSubtree);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    event_after = status_items(*event_);
    prefork_after = status_items(*prefork_);
    walk = testsupport::parse_ostrik_walk(r.out);
    if (fresh(*event_, event_before) && fresh(*prefork_, prefork_before))
      break;
  }

  struct Server {
    const char *name;
    int port;
    const std::map<std::string, std::string> &before, &after;
  };
  for (const Server &server :
       {Server{"event", event_->port(), event_before, event_after},
        Server{"prefork", prefork_->port(), prefork_before, prefork_after}}) {
    SCOPED_TRACE(server.name);
    ASSERT_EQ(server.before.at("ServerMPM"), server.name);
    EXPECT_EQ(walk.number(kPerfExtEntry, 1, server.port), server.port);
    for (const ExtColumn &c : kExtColumns) {
      SCOPED_TRACE(c.label + " (column " + std::to_string(c.column) + ")");
      const std::string cell = walk.cell(kPerfExtEntry, c.column, server.port);
      const std::string before = page_value(server.before, c);
      const std::string after = page_value(server.after, c);
      if (before.empty() && after.empty()) {
        EXPECT_EQ(cell, "") << "a column the page lacks";
        EXPECT_TRUE(c.event_only || c.label == "CPULoad");
        continue;
      }
      EXPECT_FALSE(c.event_only && server.name == std::string("prefork"));
      if (c.label == "CPULoad" && before.empty() && cell.empty())
        continue; // first shown between the module's page and the last one
      ASSERT_EQ(cell.substr(0, cell.find(':')), c.type) << cell;
      if (c.reading == Reading::Text) {
        EXPECT_EQ(walk.text(kPerfExtEntry, c.column, server.port), before);
        EXPECT_EQ(before, after);
        continue;
      }
      const long long value = walk.number(kPerfExtEntry, c.column, server.port);
      if (c.label == "CPULoad") {
        // The CPU time since the start over the uptime, between the least
        // and the most the two pages allow.
        const CpuUse b = cpu_use(server.before), a = cpu_use(server.after);
        EXPECT_GE(value, static_cast<long long>(b.cpu / a.uptime * 10000) - 1);
        EXPECT_LE(value, static_cast<long long>(a.cpu / b.uptime * 10000) + 1);
        continue;
      }
      ASSERT_FALSE(before.empty() || after.empty()) << "an item that came or went";
      // Counters within the requests made in between; the other items are
      // the same on both pages, or the module's lies between them.
      EXPECT_GE(value, std::min(as_number(c, before), as_number(c, after))) << cell;
      EXPECT_LE(value, std::max(as_number(c, before), as_number(c, after))) << cell;
    }
    // The module's page was one request after the first and before the
    // second, and both tables answer from it.
    EXPECT_EQ(walk.number(kPerfExtEntry, 3, server.port),
              std::stoll(server.before.at("Total Accesses")) + 1);
    EXPECT_EQ(walk.number(kPerfExtEntry, 3, server.port),
              walk.number(testsupport::kPerformanceEntry, 3, server.port));
  }
  // The event-only columns answer under event; a get under prefork finds no
  // instance.
  for (int column : {10, 11, 13, 14, 15, 16, 17})
    EXPECT_NE(walk.cell(kPerfExtEntry, column, event_->port()), "") << column;
  CommandResult get =
      daemon->get({std::string(kPerfExtEntry) + ".13." + std::to_string(prefork_->port())});
  EXPECT_NE(get.out.find("No Such Instance"), std::string::npos) << get.out;
  // Servers whose pages were never read have the port column alone.
  for (const ApacheInstance *apache : {denied_, stopped_}) {
    EXPECT_EQ(walk.number(kPerfExtEntry, 1, apache->port()), apache->port());
    for (const ExtColumn &c : kExtColumns)
      EXPECT_EQ(walk.cell(kPerfExtEntry, c.column, apache->port()), "") << c.column;
  }
}

// The health columns of one server's row: for the status page (columns 2
// to 5) or the info page (6 to 9).
struct Health {
  long long age, outcome, code, failures; // -1: no instance
};
Health health_of(const OstrikWalk &walk, int port, bool status) {
  const int first = status ? 2 : 6;
  return {walk.number(kHealthEntry, first, port), walk.number(kHealthEntry, first + 1, port),
          walk.number(kHealthEntry, first + 2, port), walk.number(kHealthEntry, first + 3, port)};
}

enum Outcome { kOk = 1, kConnectFailed = 2, kTimedOut = 3, kHttpError = 5 };

TEST_F(ExtServers, HealthTellsAHungRefusingOrStoppedServerFromAHealthyOne) {
  // A stand-in that answers like Apache until it is told to hang; the
  // daemon gives up on a silent server after 2 seconds.
  testsupport::HostileServer hanging;
  ASSERT_EQ(setenv("OSTRIK_RECEIVE_TIMEOUT", "2", 1), 0);
  auto daemon = start_daemon("apache " + std::to_string(hanging.port()) + " u p 0\n");
  unsetenv("OSTRIK_RECEIVE_TIMEOUT");
  const auto walk_health = [&] {
    CommandResult r = daemon->walk(kHealthEntry);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return testsupport::parse_ostrik_walk(r.out);
  };

  const OstrikWalk first = walk_health();
  // The pages were read after the daemon started, however long a busy
  // machine took to start it and walk.
  const long since_start = daemon->seconds_running();
  for (bool status : {true, false}) {
    SCOPED_TRACE(status ? "status page" : "info page");
    for (int port : {event_->port(), hanging.port()}) {
      const Health h = health_of(first, port, status);
      EXPECT_EQ(h.outcome, kOk) << port;
      EXPECT_EQ(h.code, 200) << port;
      EXPECT_EQ(h.failures, 0) << port;
      EXPECT_GE(h.age, 0) << port;
      EXPECT_LE(h.age, since_start) << port;
    }
    const Health denied = health_of(first, denied_->port(), status);
    EXPECT_EQ(denied.outcome, kHttpError);
    EXPECT_EQ(denied.code, 401);
    EXPECT_GE(denied.failures, 1);
    EXPECT_EQ(denied.age, -1) << "never read";
    const Health stopped = health_of(first, stopped_->port(), status);
    EXPECT_EQ(stopped.outcome, kConnectFailed);
    EXPECT_EQ(stopped.code, 0);
    EXPECT_GE(stopped.failures, 1);
    EXPECT_EQ(stopped.age, -1) << "never read";
  }

  // The stand-in hangs; once the status refresh is due again, its status
  // page times out and its age grows, while the healthy server's stays
  // small. The info pages are not due for 300 seconds: their ages grow.
  hanging.set(testsupport::Hostility::Silent);
  std::this_thread::sleep_for(std::chrono::seconds(11));
  const OstrikWalk second = walk_health();
  const Health hung = health_of(second, hanging.port(), true);
  EXPECT_EQ(hung.outcome, kTimedOut);
  EXPECT_EQ(hung.failures, 1);
  EXPECT_GE(hung.age, health_of(first, hanging.port(), true).age + 10);
  const Health healthy = health_of(second, event_->port(), true);
  EXPECT_EQ(healthy.outcome, kOk);
  EXPECT_LE(healthy.age, 5);
  EXPECT_GE(health_of(second, event_->port(), false).age,
            health_of(first, event_->port(), false).age + 10);
  for (int port : {denied_->port(), stopped_->port()}) {
    EXPECT_EQ(health_of(second, port, true).failures, health_of(first, port, true).failures + 1)
        << port;
    EXPECT_EQ(health_of(second, port, true).age, -1) << port;
  }
}

// SIGHUP reloads the module while a steady stream of gets goes on: every
// get is answered (from the old snapshot until the new one is ready), and the
// server added to ostrik.cf meanwhile gets its row.
TEST_F(ExtServers, ReloadAddsAServerWithoutLeavingAGetUnanswered) {
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.tick_seconds = 1;
  const std::string first =
      "apache " + std::to_string(event_->port()) + " " + kUser + " " + kPassword + " 0\n";
  setup.ostrik_cf = first;
  Varnockd daemon(setup);
  const auto has_row = [&](int port) {
    CommandResult r = daemon.walk(kHealthEntry);
    return testsupport::parse_ostrik_walk(r.out).number(kHealthEntry, 1, port) == port;
  };
  ASSERT_TRUE(has_row(event_->port()));
  ASSERT_FALSE(has_row(prefork_->port()));

  testsupport::GetStream stream(daemon.agent(), std::string(testsupport::kOstrikSubtree) + ".1.0");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  testsupport::write_file(daemon.config_dir() + "/ostrik.cf",
                          first + "apache " + std::to_string(prefork_->port()) + " " + kUser + " " +
                              kPassword + " 0\n");
  ASSERT_EQ(kill(daemon.process().pid(), SIGHUP), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!has_row(prefork_->port()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int sent = stream.finish();

  EXPECT_TRUE(has_row(prefork_->port())) << daemon.log();
  EXPECT_TRUE(has_row(event_->port()));
  EXPECT_GE(sent, 5);
  EXPECT_EQ(stream.failures().size(), 0u) << stream.failures().front();
  EXPECT_NE(daemon.log().find("modules reloaded"), std::string::npos) << daemon.log();
}

} // namespace
