// varnockd's walk, get-bulk, typing and access through Net-SNMP's tools,
// with the small test module (tests/support/test_module.cpp) in place of
// ostrik, so that these behaviours are tested apart from ostrik's tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::CommandResult;
using testsupport::parse_varbinds;
using testsupport::Varbind;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

const std::string B = ".1.3.6.1.4.1.32473.99";

// An instance of the title with arcs appended, longer than the 44 arcs a
// descriptor holds.
std::string overlong(const std::string &oid, const std::string &arc = "1") {
  std::string out = oid;
  for (int i = 0; i < 40; ++i)
    out += "." + arc;
  return out;
}

VarnockdSetup setup_for_test_module() {
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {VARNOCK_TEST_MODULE_PATH};
  setup.tick_seconds = 3600; // the tick counter stays 0 unless a test asks
  return setup;
}

std::string module_log(const Varnockd &daemon) {
  return testsupport::read_file(daemon.config_dir() + "/test_module.log");
}

// Every instance of the test module in ascending order, as the tools print
// them; the column that never answers is left out.
const std::vector<Varbind> kAllInstances = {
    {B + ".1.0", "STRING: \"varnock test module\""},
    {B + ".2.0", "Counter32: 0"},
    {B + ".3.1.1.80", "INTEGER: 80"},
    {B + ".3.1.1.443", "INTEGER: 443"},
    {B + ".3.1.3.80", "Gauge32: 7"},
    {B + ".3.1.3.443", "Gauge32: 4000000000"},
    {B + ".3.1.4.80", "Counter64: 5"},
    {B + ".3.1.4.443", "Counter64: 18446744073709551615"},
    {B + ".4.0", "INTEGER: -5"},
};

void expect_instances(const std::vector<Varbind> &got, const std::vector<Varbind> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].oid, want[i].oid) << "at " << i;
    EXPECT_EQ(got[i].value, want[i].value) << "at " << i;
  }
}

// BER, short lengths only: enough for a small request of our own.
std::string ber(char tag, const std::string &content) {
  return std::string(1, tag) + static_cast<char>(content.size()) + content;
}
std::string ber_int(int value) { return ber('\x02', std::string(1, static_cast<char>(value))); }
std::string ber_oid(const std::string &dotted) {
  std::vector<unsigned> arcs;
  for (size_t at = 1; at < dotted.size(); at = dotted.find('.', at) + 1) {
    arcs.push_back(static_cast<unsigned>(std::stoul(dotted.substr(at))));
    if (dotted.find('.', at) == std::string::npos)
      break;
  }
  std::string out(1, static_cast<char>(arcs[0] * 40 + arcs[1]));
  for (size_t i = 2; i < arcs.size(); ++i) {
    std::string arc(1, static_cast<char>(arcs[i] & 0x7F));
    for (unsigned rest = arcs[i] >> 7; rest != 0; rest >>= 7)
      arc.insert(arc.begin(), static_cast<char>(0x80 | (rest & 0x7F)));
    out += arc;
  }
  return ber('\x06', out);
}

// A get-bulk as the tools refuse to send it (more non-repeaters than
// varbinds), over UDP; the raw answer, empty when none came.
std::string raw_get_bulk(int port, int nonRepeaters, int maxRepetitions,
                         const std::vector<std::string> &oids) {
  std::string list;
  for (const std::string &oid : oids)
    list += ber('\x30', ber_oid(oid) + std::string("\x05\x00", 2));
  const std::string pdu =
      ber('\xA5', ber_int(7) + ber_int(nonRepeaters) + ber_int(maxRepetitions) + ber('\x30', list));
  const std::string message = ber('\x30', ber_int(1) + ber('\x04', "public") + pdu);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char buffer[4096];
  ssize_t got = -1;
  if (sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
      static_cast<ssize_t>(message.size()))
    got = recv(fd, buffer, sizeof buffer, 0);
  close(fd);
  return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
}

class DaemonWalkTest : public ::testing::Test {
protected:
  Varnockd daemon{setup_for_test_module()};
};

TEST_F(DaemonWalkTest, WalkVisitsEveryInstanceInOrderAndEndsCleanly) {
  CommandResult walk = daemon.walk(B);
  ASSERT_EQ(walk.exit_code, 0) << walk.err;
  EXPECT_EQ(walk.err, "");
  expect_instances(parse_varbinds(walk.out), kAllInstances);
}

TEST_F(DaemonWalkTest, BulkWalkAnswersTheSameAsTheWalk) {
  CommandResult bulk = daemon.bulkwalk(B);
  ASSERT_EQ(bulk.exit_code, 0) << bulk.err;
  EXPECT_EQ(bulk.err, "");
  expect_instances(parse_varbinds(bulk.out), kAllInstances);
  // Small repetitions make several get-bulk round trips, each resuming in
  // the middle of the subtree.
  CommandResult small = daemon.tool("snmpbulkwalk", {"-Cr2", B});
  ASSERT_EQ(small.exit_code, 0) << small.err;
  expect_instances(parse_varbinds(small.out), kAllInstances);
}

TEST_F(DaemonWalkTest, GetBulkRunsOnPastTheSubtree) {
  // Non-repeater: the next instance after the title; repeaters from the
  // last table row on, past the module's subtree into the agent's own.
  CommandResult r = daemon.tool("snmpbulkget", {"-Cn1", "-Cr3", B + ".1.0", B + ".3.1.4.443"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Varbind> got = parse_varbinds(r.out);
  ASSERT_EQ(got.size(), 4u) << r.out;
  EXPECT_EQ(got[0].oid, B + ".2.0");
  EXPECT_EQ(got[1].oid, B + ".4.0");
  EXPECT_EQ(got[1].value, "INTEGER: -5");
  EXPECT_NE(got[2].oid.rfind(B + ".", 0), 0u) << got[2].oid;
  // No repetitions: the non-repeaters alone; more non-repeaters than
  // varbinds: each varbind once; a huge count ends past the subtree.
  got = parse_varbinds(daemon.tool("snmpbulkget", {"-Cn1", "-Cr0", B + ".1.0", B}).out);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].oid, B + ".2.0");
  const std::string reply = raw_get_bulk(daemon.port(), 5, 9, {B + ".1.0", B});
  EXPECT_NE(reply.find(ber_oid(B + ".2.0") + '\x41'), std::string::npos); // Counter32
  EXPECT_NE(reply.find(ber_oid(B + ".1.0") + '\x04'), std::string::npos); // the title
  r = daemon.tool("snmpbulkget", {"-Cr2147483647", B + ".3.1.4.80"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  got = parse_varbinds(r.out);
  ASSERT_GE(got.size(), 3u) << r.out;
  EXPECT_EQ(got[1].oid, B + ".4.0");
}

TEST_F(DaemonWalkTest, GetNextFindsTheNextInstance) {
  struct Case {
    std::string asked;
    std::string oid;
    std::string value;
  };
  const std::vector<Case> cases = {
      {B, B + ".1.0", "STRING: \"varnock test module\""},
      {B + ".1.0", B + ".2.0", "Counter32: 0"},   // on to the next variable
      {B + ".3", B + ".3.1.1.80", "INTEGER: 80"}, // table without a column
      {B + ".3.1.1.80", B + ".3.1.1.443", "INTEGER: 443"},
      {B + ".3.1.1.443", B + ".3.1.3.80", "Gauge32: 7"}, // the silent column is passed over
      {B + ".3.1.2", B + ".3.1.3.80", "Gauge32: 7"},
      {B + ".3.1.1.80.5", B + ".3.1.1.443", "INTEGER: 443"}, // an arc too many
      {B + ".3.1.3.443", B + ".3.1.4.80", "Counter64: 5"},
      {B + ".3.1.4.443", B + ".4.0", "INTEGER: -5"},
      {".1.3.6.1.4.1.32473", B + ".1.0", "STRING: \"varnock test module\""},
      {overlong(B + ".1.0"), B + ".2.0", "Counter32: 0"},
      {overlong(B + ".3.1.1.80", "7"), B + ".3.1.1.443", "INTEGER: 443"},
  };
  for (const Case &c : cases) {
    CommandResult r = daemon.getnext({c.asked});
    ASSERT_EQ(r.exit_code, 0) << c.asked << ": " << r.err;
    std::vector<Varbind> got = parse_varbinds(r.out);
    ASSERT_EQ(got.size(), 1u) << c.asked << ": " << r.out;
    EXPECT_EQ(got[0].oid, c.oid) << c.asked;
    EXPECT_EQ(got[0].value, c.value) << c.asked;
  }
  EXPECT_EQ(module_log(daemon).find("overlong"), std::string::npos) << module_log(daemon);
}

TEST_F(DaemonWalkTest, GetNextPastTheLastInstanceLeavesTheSubtree) {
  CommandResult r = daemon.getnext({B + ".4.0"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Varbind> got = parse_varbinds(r.out);
  ASSERT_EQ(got.size(), 1u) << r.out;
  EXPECT_NE(got[0].oid.rfind(B + ".", 0), 0u) << got[0].oid;
  EXPECT_GT(got[0].oid, B + ".4.0");
}

TEST_F(DaemonWalkTest, GetAnswersTypedValuesOrTheRightException) {
  struct Case {
    std::string oid;
    std::string value;
  };
  const std::vector<Case> cases = {
      {B + ".1.0", "STRING: \"varnock test module\""},
      {B + ".4.0", "INTEGER: -5"},
      {B + ".3.1.1.80", "INTEGER: 80"},
      {B + ".3.1.3.443", "Gauge32: 4000000000"},
      {B + ".3.1.4.443", "Counter64: 18446744073709551615"},
      {B + ".3.1.2.80", "No Such Instance currently exists at this OID"}, // handler answers null
      {B + ".3.1.1.81", "No Such Instance currently exists at this OID"}, // no such row
      {B + ".1", "No Such Instance currently exists at this OID"},        // scalar without .0
      {B + ".1.0.0", "No Such Instance currently exists at this OID"},
      {overlong(B + ".1.0"), "No Such Instance currently exists at this OID"},
      {B + ".9.0", "No Such Object available on this agent at this OID"},
  };
  for (const Case &c : cases) {
    CommandResult r = daemon.get({c.oid});
    std::vector<Varbind> got = parse_varbinds(r.out);
    ASSERT_EQ(got.size(), 1u) << c.oid << ": " << r.out << r.err;
    EXPECT_EQ(got[0].oid, c.oid);
    EXPECT_EQ(got[0].value, c.value) << c.oid;
  }
  EXPECT_EQ(module_log(daemon).find("overlong"), std::string::npos) << module_log(daemon);
}

TEST_F(DaemonWalkTest, SeveralVariablesInOneGetEachKeepTheirOwnAnswer) {
  // The module answers all integers from one storage word: each answer must
  // be copied out before the next handler call.
  CommandResult r = daemon.get({B + ".3.1.1.80", B + ".4.0", B + ".3.1.3.443", B + ".1.0"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_instances(parse_varbinds(r.out), {
                                              {B + ".3.1.1.80", "INTEGER: 80"},
                                              {B + ".4.0", "INTEGER: -5"},
                                              {B + ".3.1.3.443", "Gauge32: 4000000000"},
                                              {B + ".1.0", "STRING: \"varnock test module\""},
                                          });
}

TEST_F(DaemonWalkTest, SetWithTheReadOnlyCommunityIsRefused) {
  CommandResult r = daemon.set(B + ".4.0", "i", "3");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("noAccess"), std::string::npos) << r.err;
  EXPECT_EQ(parse_varbinds(daemon.get({B + ".4.0"}).out).at(0).value, "INTEGER: -5");
}

TEST_F(DaemonWalkTest, ModuleGetsTheConfigDirectoryAsAgentPath) {
  const std::string log = module_log(daemon);
  EXPECT_EQ(log.substr(0, log.find('\n')), "init " + daemon.config_dir() + "/varnockd");
}

TEST(DaemonWalk, SetWithAWritableCommunityIsNotWritable) {
  VarnockdSetup setup = setup_for_test_module();
  setup.varnockd_conf = "rwcommunity private 127.0.0.1\nrocommunity public 127.0.0.1\n";
  Varnockd daemon(setup);
  CommandResult r = daemon.set(B + ".4.0", "i", "3", "private");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("notWritable"), std::string::npos) << r.err;
  CommandResult text = daemon.set(B + ".1.0", "s", "changed", "private");
  EXPECT_NE(text.err.find("notWritable"), std::string::npos) << text.err;
  EXPECT_EQ(parse_varbinds(daemon.get({B + ".1.0"}).out).at(0).value,
            "STRING: \"varnock test module\"");
}

TEST(DaemonWalk, VarnockdConfRulesAccess) {
  // With a varnockd.conf, its tokens alone decide: "public" is no longer
  // answered, and agentaddress adds a listening address.
  const int extra_port = testsupport::free_udp_port();
  VarnockdSetup setup = setup_for_test_module();
  setup.community = "s3cret";
  setup.varnockd_conf =
      "rocommunity s3cret 127.0.0.1\nagentaddress udp:127.0.0.1:" + std::to_string(extra_port) +
      "\n";
  Varnockd daemon(setup);
  EXPECT_EQ(parse_varbinds(daemon.get({B + ".4.0"}).out).at(0).value, "INTEGER: -5");

  std::vector<std::string> pub = testsupport::snmp_tool_command("snmpget", "public");
  pub[pub.size() - 1] = "1"; // a short time-out: no answer is expected
  pub.push_back(daemon.agent());
  pub.push_back(B + ".4.0");
  CommandResult refused = testsupport::run_command(pub, 30.0);
  EXPECT_NE(refused.exit_code, 0);
  EXPECT_NE(refused.err.find("Timeout"), std::string::npos) << refused.out << refused.err;

  std::vector<std::string> other = testsupport::snmp_tool_command("snmpget", "s3cret");
  other.push_back("127.0.0.1:" + std::to_string(extra_port));
  other.push_back(B + ".4.0");
  CommandResult r = testsupport::run_command(other, 30.0);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(parse_varbinds(r.out).at(0).value, "INTEGER: -5");

  // The file holds a community: a file others may read is said once.
  struct stat st;
  ASSERT_EQ(stat((daemon.config_dir() + "/varnockd.conf").c_str(), &st), 0);
  const std::string log = daemon.log(), said = "varnockd.conf is readable by other users";
  EXPECT_EQ(log.find(said) != std::string::npos, (st.st_mode & 044) != 0) << log;
  EXPECT_EQ(log.find(said), log.rfind(said)) << log;

  // A reload reads a changed file again; an unchanged one is left alone.
  ASSERT_EQ(kill(daemon.process().pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  testsupport::write_file(daemon.config_dir() + "/varnockd.conf", "rocommunity other 127.0.0.1\n");
  ASSERT_EQ(kill(daemon.process().pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  r = daemon.tool("snmpget", {B + ".4.0"}, "other");
  EXPECT_EQ(parse_varbinds(r.out).at(0).value, "INTEGER: -5") << r.err << daemon.log();
  EXPECT_NE(daemon.log().find("varnockd.conf unchanged; not read again"), std::string::npos);
}

TEST(DaemonWalk, TickCallsTheModuleCallback) {
  VarnockdSetup setup = setup_for_test_module();
  setup.tick_seconds = 1;
  Varnockd daemon(setup);
  std::string value;
  for (int i = 0; i < 100; ++i) {
    std::vector<Varbind> got = parse_varbinds(daemon.get({B + ".2.0"}).out);
    value = got.empty() ? "" : got[0].value;
    if (value == "Counter32: 2" || value == "Counter32: 3")
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(value == "Counter32: 2" || value == "Counter32: 3") << value;
}

TEST(DaemonWalk, RefusedModuleIsNotServedAndTheDaemonRuns) {
  VarnockdSetup setup = setup_for_test_module();
  setup.files = {{"refuse", ""}};
  Varnockd daemon(setup);
  EXPECT_EQ(parse_varbinds(daemon.get({B + ".1.0"}).out).at(0).value,
            "No Such Object available on this agent at this OID");
  EXPECT_NE(daemon.log().find("refused to start"), std::string::npos) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0);
  // A module that did not start is not finished either.
  EXPECT_EQ(module_log(daemon).find("finish"), std::string::npos);
}

TEST(DaemonWalk, ModuleRefusedAfterRegisteringIsNeverCalled) {
  // The test module's variables lie after ostrik's subtree: a get-next past
  // ostrik's last instance must not reach the refused module's handlers.
  VarnockdSetup setup = setup_for_test_module();
  setup.modules.insert(setup.modules.begin(), OSTRIK_MODULE_PATH);
  setup.files = {{"refuse", "late"}};
  Varnockd daemon(setup);
  const std::string past = ".1.3.6.1.4.1.32473.16.3.99";
  EXPECT_EQ(parse_varbinds(daemon.getnext({past}).out).at(0).oid.rfind(B, 0), std::string::npos);
  EXPECT_EQ(parse_varbinds(daemon.get({B + ".1.0"}).out).at(0).value,
            "No Such Object available on this agent at this OID");
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(module_log(daemon).find("called after refusal"), std::string::npos)
      << module_log(daemon);
}

// One get-bulk is answered from one collection, however many passes over
// the subtree its repetitions take while the collector publishes anew.
TEST(DaemonWalk, GetBulkAnswersFromOneCollection) {
  VarnockdSetup setup = setup_for_test_module();
  setup.tick_seconds = 1;
  setup.files = {{"rows", "3000"}};
  // Answers of 2400 varbinds take long enough that publications fall inside them.
  setup.varnockd_conf =
      "rocommunity public 127.0.0.1\nmaxGetbulkRepeats 1200\nmaxGetbulkResponses 2400\n";
  Varnockd daemon(setup);
  int mixed = 0;
  std::set<std::string> seen;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < end;) {
    std::set<std::string> values;
    for (const Varbind &vb : parse_varbinds(
             daemon.tool("snmpbulkget", {"-Cr1200", B + ".5.1.1", B + ".5.1.1.1500"}).out)) {
      if (vb.oid.rfind(B + ".5.1.1.", 0) == 0)
        values.insert(vb.value);
    }
    seen.insert(values.begin(), values.end());
    mixed += values.size() > 1 ? 1 : 0;
  }
  EXPECT_GE(seen.size(), 3u); // several collections were met
  EXPECT_EQ(mixed, 0);
}

// Signals at awkward moments: a SIGHUP while the first start is under way
// is a reload once the daemon serves; a SIGTERM while a reload starts the
// modules ends the daemon cleanly and soon.
TEST(DaemonWalk, SignalsDuringTheFirstStartAndDuringAReload) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("slow"), "1500");
  const int port = testsupport::free_udp_port();
  testsupport::Process daemon({VARNOCKD_PATH, "--config-dir", dir.path(), "--module",
                               VARNOCK_TEST_MODULE_PATH, "--tick", "1",
                               "udp:127.0.0.1:" + std::to_string(port)},
                              dir.file("varnockd"));
  // The SIGHUP goes once the daemon catches it (before, it ends any
  // program), while the slow module's start is still under way: a fixed
  // wait was too short for a sanitizer build starting on a busy machine.
  const auto catches_sighup = [&] {
    const std::string status =
        testsupport::read_file("/proc/" + std::to_string(daemon.pid()) + "/status");
    const size_t at = status.find("SigCgt:\t");
    return at != std::string::npos &&
           (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGHUP - 1))) != 0;
  };
  for (int i = 0; i < 300 && daemon.running() && !catches_sighup(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(catches_sighup()) << daemon.err();
  ASSERT_EQ(kill(daemon.pid(), SIGHUP), 0);
  // Asked again every 5 s: a request sent before the daemon's socket is
  // open (a slow start on a busy machine) is lost, not refused.
  const auto answers = [&] {
    std::vector<std::string> get = testsupport::snmp_tool_command("snmpget", "public");
    get.insert(get.end(), {"-r", "4", "-t", "5", "127.0.0.1:" + std::to_string(port), B + ".4.0"});
    return testsupport::run_command(get, 30.0).out.find("INTEGER: -5") != std::string::npos;
  };
  EXPECT_TRUE(answers()) << daemon.err();
  for (int i = 0; i < 50 && daemon.err().find("modules reloaded") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(daemon.err().find("modules reloaded"), std::string::npos) << daemon.err();
  EXPECT_TRUE(answers());

  ASSERT_EQ(kill(daemon.pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(daemon.stop(SIGTERM, 10.0), 0) << daemon.err();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(4));
  EXPECT_EQ(testsupport::sanitizer_report(daemon.err()), "") << daemon.err();
}

// A module whose subtree another module already serves is taken out of
// use: its handlers are never called again, not by the collections after
// it was finished, nor once a reload has unloaded its library.
TEST(DaemonWalk, ModuleWhoseSubtreeIsTakenIsNeverCalledAgain) {
  VarnockdSetup setup = setup_for_test_module();
  setup.modules.insert(setup.modules.begin(), OSTRIK_MODULE_PATH);
  setup.tick_seconds = 1;
  setup.files = {{"subtree", ".1.3.6.1.4.1.32473.16.3"}};
  Varnockd daemon(setup);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_EQ(kill(daemon.process().pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(parse_varbinds(daemon.get({B + ".1.0"}).out).at(0).value,
            "No Such Object available on this agent at this OID");
  EXPECT_NE(daemon.log().find("cannot serve subtree"), std::string::npos) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
  const std::string log = module_log(daemon);
  EXPECT_EQ(log.find("called after finish"), std::string::npos) << log;
  // The reload leaves the module out: it was started once only.
  EXPECT_EQ(log.find("init "), log.rfind("init ")) << log;
}

} // namespace
