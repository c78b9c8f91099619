// varnockd as an AgentX sub-agent of a real snmpd: the module's subtree is
// walked through the master by name, before and after the master restarts;
// snmptable shows a table with its column names; the sub-agent waits for a
// master that is not there yet, and logs the loss and the return of one.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "module/ostrik.h"
#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/snmpd.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::MasterSnmpd;
using testsupport::Process;
using testsupport::TempDir;

using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "agentx-secret";
constexpr char kSubtree[] = "1.3.6.1.4.1.32473.16.3";
constexpr int kPingSeconds = 1;
// How long the sub-agent may take to register with a master that has just
// come up: a few ping intervals, and the first refresh of the module.
constexpr double kRegisterTimeoutSeconds = 30.0;

// The footprint columns that the module registers but never answers.
const std::set<std::string> kUnansweredColumns = {
    "apacheFootprintInBlks",   "apacheFootprintOutBlks",  "apacheFootprintMsgsSent",
    "apacheFootprintMsgsRecv", "apacheFootprintSysCalls", "apacheFootprintMinorPgFlts",
    "apacheFootprintNumSwaps", "apacheFootprintVolCtx",   "apacheFootprintInvolCtx"};

// Apache 2.4 columns that the status page of a prefork server lacks.
const std::set<std::string> kNotOnAPreforkPage = {
    "apacheServerPerfExtProcesses",           "apacheServerPerfExtStoppingProcs",
    "apacheServerPerfExtConnsTotal",          "apacheServerPerfExtConnsAsyncWriting",
    "apacheServerPerfExtConnsAsyncKeepAlive", "apacheServerPerfExtConnsAsyncClosing",
    "apacheServerPerfExtConnsAsyncWaitIO"};
// Shown once the server has used measurable CPU time: left out of the
// comparisons.
const std::string kCpuLoad = "apacheServerPerfExtCPULoad";

// The sub-agent, with its own configuration directory, always stopped.
class Subagent {
public:
  // The configuration directory holds ostrik_cf and the installed sample
  // varnockd.conf (whose access tokens and agentaddress a sub-agent reads
  // but does not use).
  Subagent(const MasterSnmpd &master, const std::string &ostrik_cf) {
    testsupport::write_file(dir_.file("ostrik.cf"), ostrik_cf);
    chmod(dir_.file("ostrik.cf").c_str(), 0600);
    testsupport::write_file(
        dir_.file("varnockd.conf"),
        testsupport::read_file(std::string(OSTRIK_SOURCE_DIR) + "/packaging/varnockd.conf"));
    process_ = std::make_unique<Process>(
        std::vector<std::string>{VARNOCKD_PATH, "--config-dir", dir_.path(), "--module",
                                 OSTRIK_MODULE_PATH, "--agentx=" + master.agentx_socket(),
                                 "--agentx-ping", std::to_string(kPingSeconds)},
        dir_.file("varnockd"));
  }
  ~Subagent() {
    process_->stop();
    EXPECT_EQ(testsupport::sanitizer_report(log()), "") << log();
  }
  std::string log() const { return process_->err(); }
  bool running() { return process_->running(); }
  // Writes a new ostrik.cf and sends SIGHUP.
  void reload(const std::string &ostrik_cf) {
    testsupport::write_file(dir_.file("ostrik.cf"), ostrik_cf);
    ASSERT_EQ(kill(process_->pid(), SIGHUP), 0);
  }
  int stop() { return process_->stop(); }

private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
};

// "OSTRIK-MIB::NAME.INDEX = VALUE" lines of a walk by name: NAME.INDEX -> VALUE.
std::vector<std::pair<std::string, std::string>> named_lines(const std::string &out) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t sep = line.find(" = ");
    if (sep != std::string::npos)
      lines.emplace_back(line.substr(0, sep), line.substr(sep + 3));
  }
  return lines;
}

CommandResult walk_by_name(const MasterSnmpd &master) {
  return master.tool("snmpwalk", {"-m", "OSTRIK-MIB"}, {kSubtree});
}

// Walks through the master until the sub-agent's subtree shows at least
// `rows` variables, for a bounded time; the last walk.
CommandResult walk_when_registered(const MasterSnmpd &master, size_t rows) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(kRegisterTimeoutSeconds);
  for (;;) {
    CommandResult r = walk_by_name(master);
    if ((r.exit_code == 0 && named_lines(r.out).size() >= rows) || Clock::now() >= deadline)
      return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

size_t count_of(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// Every variable the module answers for one prefork server, by its MIB name.
std::set<std::string> expected_names(int port) {
  std::set<std::string> names;
  std::vector<const MibVariable *> all;
  for (const MibVariable &var : ostrik_variables)
    all.push_back(&var);
  for (const MibVariable &var : ostrik_ext_variables)
    all.push_back(&var);
  for (const MibVariable *var : all) {
    const std::string name = var->name;
    if (kUnansweredColumns.count(name) != 0 || kNotOnAPreforkPage.count(name) != 0 ||
        name == kCpuLoad)
      continue;
    // The server's common log names no virtual host and no time taken; it
    // serves no HTTPS and has no balancer.
    if (name.rfind("apacheVhostLog", 0) == 0 || name.rfind("apacheLogTime", 0) == 0 ||
        name.rfind("apacheCert", 0) == 0 || name.rfind("apacheBalancer", 0) == 0)
      continue;
    names.insert("OSTRIK-MIB::" + name + "." +
                 (name.rfind("ostrik", 0) == 0 ? std::string("0") : std::to_string(port)));
  }
  return names;
}

std::set<std::string> names_of(const CommandResult &walk) {
  std::set<std::string> names;
  for (const auto &[name, value] : named_lines(walk.out)) {
    if (name.find(kCpuLoad + ".") == std::string::npos)
      names.insert(name);
  }
  return names;
}

TEST(Agentx, WalkThroughTheMasterNamesEveryVariableBeforeAndAfterTheMasterRestarts) {
  ApacheInstance apache(kUser, kPassword);
  const std::string port = std::to_string(apache.port());
  MasterSnmpd master;
  Subagent subagent(master, "apache " + port + " " + kUser + " " + kPassword + " 60\n");
  const std::set<std::string> want = expected_names(apache.port());

  CommandResult before = walk_when_registered(master, want.size());
  ASSERT_EQ(before.exit_code, 0) << before.err << subagent.log();
  EXPECT_EQ(before.err, "");
  EXPECT_EQ(names_of(before), want) << before.out;
  const auto lines = named_lines(before.out);
  EXPECT_EQ(lines.size() - count_of(before.out, kCpuLoad + "."), want.size()) << before.out;
  EXPECT_EQ(lines.front().second,
            "STRING: " + std::string(OSTRIK_TITLE)); // ostrikVersion.0, first in the walk
  EXPECT_NE(before.out.find("OSTRIK-MIB::apacheConfigPort." + port + " = INTEGER: " + port),
            std::string::npos)
      << before.out;
  EXPECT_NE(before.out.find("OSTRIK-MIB::apacheConfigVersion." + port + " = STRING: Apache/2."),
            std::string::npos)
      << before.out;
  EXPECT_NE(subagent.log().find("varnockd: AgentX master connected at " + master.agentx_socket()),
            std::string::npos)
      << subagent.log();

  master.stop();
  // The sub-agent notices the closed connection and says so; it keeps running.
  const auto lost_deadline = Clock::now() + std::chrono::seconds(10);
  while (subagent.log().find("varnockd: AgentX master lost; reconnecting every 1 s") ==
             std::string::npos &&
         Clock::now() < lost_deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(subagent.log().find("varnockd: AgentX master lost; reconnecting every 1 s"),
            std::string::npos)
      << subagent.log();
  ASSERT_TRUE(subagent.running()) << subagent.log();

  master.start();
  CommandResult after = walk_when_registered(master, want.size());
  ASSERT_EQ(after.exit_code, 0) << after.err << subagent.log();
  EXPECT_EQ(names_of(after), want) << after.out << subagent.log();
  EXPECT_EQ(count_of(subagent.log(), "varnockd: AgentX master connected at "), 2u)
      << subagent.log();

  EXPECT_EQ(subagent.log().find("Warning"), std::string::npos) << subagent.log();
  // Ended by SIGTERM like the agent of its own: exit status 0.
  EXPECT_EQ(subagent.stop(), 0) << subagent.log();
}

// A reload keeps the session with the master: a steady stream of gets
// through the master never fails, and the server added to ostrik.cf (one
// with nothing listening on its port) gets its row.
TEST(Agentx, ReloadKeepsAnsweringThroughTheMasterAndAddsTheNewServer) {
  ApacheInstance apache(kUser, kPassword);
  MasterSnmpd master;
  const std::string cf =
      "apache " + std::to_string(apache.port()) + " " + kUser + " " + kPassword + " 60\n";
  Subagent subagent(master, cf);
  ASSERT_EQ(walk_when_registered(master, expected_names(apache.port()).size()).exit_code, 0)
      << subagent.log();
  const std::string added = "OSTRIK-MIB::apacheServerHealthPort.1 = INTEGER: 1";

  testsupport::GetStream stream(master.agent(), std::string(kSubtree) + ".1.0");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  subagent.reload(cf + "apache 1 " + kUser + " " + kPassword + " 60\n");
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (walk_by_name(master).out.find(added) == std::string::npos && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int sent = stream.finish();

  EXPECT_NE(walk_by_name(master).out.find(added), std::string::npos) << subagent.log();
  EXPECT_GE(sent, 5);
  EXPECT_EQ(stream.failures().size(), 0u) << stream.failures().front();
  EXPECT_EQ(count_of(subagent.log(), "varnockd: AgentX master connected at "), 1u)
      << subagent.log();
}

TEST(Agentx, SnmptablePrintsThePerformanceTableWithItsColumnNames) {
  ApacheInstance apache(kUser, kPassword);
  const std::string port = std::to_string(apache.port());
  MasterSnmpd master;
  Subagent subagent(master, "apache " + port + " " + kUser + " " + kPassword + " 0\n");
  ASSERT_EQ(walk_when_registered(master, expected_names(apache.port()).size()).exit_code, 0);

  CommandResult table = master.tool("snmptable", {"-m", "OSTRIK-MIB", "-Cf", ","},
                                    {"OSTRIK-MIB::apacheServerPerfTable"});
  ASSERT_EQ(table.exit_code, 0) << table.err;
  EXPECT_EQ(table.err, "");
  std::istringstream lines(table.out);
  std::string title, blank, header, row, extra;
  std::getline(lines, title);
  std::getline(lines, blank);
  std::getline(lines, header);
  std::getline(lines, row);
  EXPECT_EQ(title, "SNMP table: OSTRIK-MIB::apacheServerPerfTable");
  std::string want_header;
  for (const MibVariable &var : ostrik_variables) {
    const std::string name = var.name;
    if (name.rfind("apacheServerPerf", 0) == 0)
      want_header += (want_header.empty() ? "" : ",") + name;
  }
  EXPECT_EQ(header, want_header);
  // One row, for the one server; its first column is the port.
  EXPECT_EQ(row.substr(0, row.find(',')), port) << table.out;
  EXPECT_EQ(count_of(row, ","), static_cast<size_t>(OSTRIK_PERF_COLUMNS - 1)) << row;
  EXPECT_FALSE(std::getline(lines, extra) && !extra.empty()) << table.out;
}

TEST(Agentx, SubagentStartedBeforeItsMasterRegistersOnceTheMasterComes) {
  MasterSnmpd master;
  master.stop();
  Subagent subagent(master, "# no servers\n");
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (subagent.log().find("varnockd: AgentX master not reachable at ") == std::string::npos &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(subagent.log().find("varnockd: AgentX master not reachable at " +
                                master.agentx_socket() + "; trying every 1 s"),
            std::string::npos)
      << subagent.log();
  ASSERT_TRUE(subagent.running()) << subagent.log();
  // Net-SNMP's warning at every attempt is kept quiet: the line above says it.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(subagent.log().find("Failed to connect to the agentx master"), std::string::npos)
      << subagent.log();

  master.start();
  CommandResult walk = walk_when_registered(master, 2);
  ASSERT_EQ(walk.exit_code, 0) << walk.err << subagent.log();
  EXPECT_EQ(walk.out, "OSTRIK-MIB::ostrikVersion.0 = STRING: " + std::string(OSTRIK_TITLE) +
                          "\n"
                          "OSTRIK-MIB::ostrikMode.0 = INTEGER: 1\n");
  EXPECT_NE(subagent.log().find("varnockd: AgentX master connected at " + master.agentx_socket()),
            std::string::npos)
      << subagent.log();
  // Nothing was lost: the master was never there before.
  EXPECT_EQ(subagent.log().find("master lost"), std::string::npos) << subagent.log();
}

} // namespace
