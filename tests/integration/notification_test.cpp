// Notifications of the sample varnockd.conf: Net-SNMP's event MIB inside
// varnockd watches the health table and sends apacheServerDown once when a
// real Apache stops answering and apacheServerUp once when it is back, to
// Net-SNMP's snmptrapd on a loopback port: from a daemon of its own, and
// from a sub-agent through its AgentX master. A real Apache balancing two
// real backends: one stopped is a member in error, said once.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/snmpd.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::Process;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

const std::string kDown = ".1.3.6.1.4.1.32473.16.3.0.1";
const std::string kUp = ".1.3.6.1.4.1.32473.16.3.0.2";
const std::string kHealthPort = ".1.3.6.1.4.1.32473.16.3.13.1.1.";
const std::string kMemberError = ".1.3.6.1.4.1.32473.16.3.0.3";
const std::string kMemberRecovered = ".1.3.6.1.4.1.32473.16.3.0.4";

size_t count_of(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// The installed sample with its monitors every second, its own address
// left to the test and a trap2sink to the receiver.
std::string sample_conf(int trap_port) {
  std::string conf =
      testsupport::read_file(std::string(OSTRIK_SOURCE_DIR) + "/packaging/varnockd.conf");
  for (size_t at; (at = conf.find("-r 10")) != std::string::npos;)
    conf.replace(at, 5, "-r 1");
  conf.replace(conf.find("agentaddress"), 0, "#");
  return conf + "trap2sink 127.0.0.1:" + std::to_string(trap_port) + " public\n";
}

// snmptrapd on a free loopback port, logging every notification numerically.
struct Receiver {
  explicit Receiver(const TempDir &dir, const std::string &name)
      : port(testsupport::free_udp_port()),
        process({"snmptrapd", "-f", "-Lo", "-On", "-m", "", "-C", "-c", "/dev/null",
                 "--disableAuthorization=yes", "udp:127.0.0.1:" + std::to_string(port)},
                dir.file(name)) {}
  int port;
  Process process;
};

// A reload of both daemons (modules and varnockd.conf), then time for the
// monitors to sample the reloaded modules' first collections.
void reload(pid_t a, pid_t b) {
  kill(a, SIGHUP);
  kill(b, SIGHUP);
  std::this_thread::sleep_for(std::chrono::seconds(4));
}

// Waits until the receiver's output holds `count` of `what`, for a bounded time.
bool wait_for(Process &receiver, const std::string &what, size_t count, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (count_of(receiver.out(), what) < count && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return count_of(receiver.out(), what) >= count;
}

// A reload while the server is down, and again once it is up, changes
// nothing: the reloaded module still knows the failures in a row.
TEST(Notifications, StoppingAndStartingApacheSendsOneDownThenOneUpInBothModes) {
  TempDir dir;
  Receiver direct(dir, "direct"), through_master(dir, "through-master");
  ApacheInstance apache("monitor", "notify-secret");
  testsupport::MasterSnmpd master("trap2sink 127.0.0.1:" + std::to_string(through_master.port) +
                                  " public\n");
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.tick_seconds = 1;
  setup.ostrik_cf = "apache " + std::to_string(apache.port()) + " monitor notify-secret 0\n";
  setup.varnockd_conf = sample_conf(direct.port);
  // A stopped server refuses at once; this only bounds a slow one.
  ASSERT_EQ(setenv("OSTRIK_RECEIVE_TIMEOUT", "2", 1), 0);
  testsupport::Varnockd daemon(setup);
  // The sub-agent: the same sample without a destination of its own.
  TempDir sub_dir;
  testsupport::write_file(sub_dir.file("ostrik.cf"), setup.ostrik_cf);
  std::string sub_conf = sample_conf(direct.port);
  testsupport::write_file(sub_dir.file("varnockd.conf"),
                          sub_conf.substr(0, sub_conf.rfind("trap2sink")));
  Process subagent({VARNOCKD_PATH, "--config-dir", sub_dir.path(), "--module", OSTRIK_MODULE_PATH,
                    "--tick", "1", "--agentx=" + master.agentx_socket()},
                   sub_dir.file("varnockd"));
  unsetenv("OSTRIK_RECEIVE_TIMEOUT");
  const std::string port = std::to_string(apache.port());
  const std::string payload = kHealthPort + port + " = INTEGER: " + port;
  // The sub-agent's first collection, registered at the master.
  std::this_thread::sleep_for(std::chrono::seconds(2));

  // Three failed fetches of the status page, 10 seconds apart.
  apache.stop();
  for (Receiver *receiver : {&direct, &through_master}) {
    ASSERT_TRUE(wait_for(receiver->process, kDown, 1, 45))
        << receiver->process.out() << daemon.log() << subagent.err() << master.log();
    EXPECT_NE(receiver->process.out().find(payload), std::string::npos) << receiver->process.out();
  }
  reload(daemon.process().pid(), subagent.pid());
  for (Receiver *receiver : {&direct, &through_master})
    EXPECT_EQ(count_of(receiver->process.out(), kUp), 0u) << receiver->process.out();
  ASSERT_TRUE(apache.start());
  for (Receiver *receiver : {&direct, &through_master})
    ASSERT_TRUE(wait_for(receiver->process, kUp, 1, 20)) << receiver->process.out();
  reload(daemon.process().pid(), subagent.pid());
  // A few more rounds of the monitors send nothing more.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  for (Receiver *receiver : {&direct, &through_master}) {
    const std::string out = receiver->process.out();
    EXPECT_EQ(count_of(out, kDown), 1u) << out;
    EXPECT_EQ(count_of(out, kUp), 1u) << out;
    EXPECT_EQ(count_of(out, payload), 2u) << out;
  }
  // The internal query's user is no door from outside.
  const testsupport::CommandResult outside =
      testsupport::run_command({"snmpget", "-v3", "-l", "noAuthNoPriv", "-u", "ostrikInternal",
                                "-On", "-r", "0", "-t", "2", daemon.agent(), kHealthPort + port});
  EXPECT_NE(outside.exit_code, 0) << outside.out;
  EXPECT_EQ(outside.out.find(port), std::string::npos) << outside.out;
  EXPECT_EQ(subagent.stop(), 0) << subagent.err();
  EXPECT_EQ(testsupport::sanitizer_report(subagent.err()), "") << subagent.err();
}

// The balancer's configuration: two members, each requested in turn, and
// the member lines on the status page ("ProxyStatus On").
std::string balancer_conf(int first, int second) {
  const std::string mods = "/usr/lib/apache2/modules/";
  std::string conf;
  for (const char *module :
       {"proxy", "proxy_http", "proxy_balancer", "slotmem_shm", "lbmethod_byrequests"})
    conf += std::string("LoadModule ") + module + "_module " + mods + "mod_" + module + ".so\n";
  return conf + "ProxyStatus On\n<Proxy \"balancer://app\">\n" +
         "  BalancerMember http://127.0.0.1:" + std::to_string(first) + "\n" +
         "  BalancerMember http://127.0.0.1:" + std::to_string(second) + "\n" +
         "</Proxy>\nProxyPass /app balancer://app\n";
}

// The balancer member table's instance of column for one member of
// balancer://app.
std::string member_oid(int column, int port, const std::string &member) {
  std::string oid =
      ".1.3.6.1.4.1.32473.16.3.16.1." + std::to_string(column) + "." + std::to_string(port);
  for (const std::string &name : {std::string("balancer://app"), member}) {
    oid += "." + std::to_string(name.size());
    for (unsigned char c : name)
      oid += "." + std::to_string(c);
  }
  return oid;
}

long long member_value(const testsupport::Varnockd &daemon, const std::string &oid) {
  const testsupport::CommandResult r = testsupport::run_command(
      {"snmpget", "-v2c", "-c", "public", "-On", "-Oqv", daemon.agent(), oid});
  return r.exit_code == 0 ? std::atoll(r.out.c_str()) : -1;
}

void requests(const ApacheInstance &front, int n) {
  for (int i = 0; i < n; ++i)
    front.get("/app/");
}

// The stopped backend's member turns to error(2) within a status refresh and
// apacheBalancerMemberError is sent once; its elected count stands still
// while the other member's grows.
TEST(Notifications, AStoppedBackendIsABalancerMemberInErrorOnce) {
  TempDir dir;
  Receiver receiver(dir, "receiver");
  ApacheInstance up("monitor", "backend"), down("monitor", "backend");
  ApacheInstance front("monitor", "balancer-secret", balancer_conf(up.port(), down.port()));
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.tick_seconds = 1;
  setup.ostrik_cf = "apache " + std::to_string(front.port()) + " monitor balancer-secret 0\n";
  setup.varnockd_conf = sample_conf(receiver.port);
  testsupport::Varnockd daemon(setup);
  const std::string up_url = "http://127.0.0.1:" + std::to_string(up.port());
  const std::string down_url = "http://127.0.0.1:" + std::to_string(down.port());
  const auto value = [&](int column, const std::string &member) {
    return member_value(daemon, member_oid(column, front.port(), member));
  };

  requests(front, 6);
  // Both members in service: ok(1), each elected for half the requests.
  const auto deadline = Clock::now() + std::chrono::seconds(25);
  while (value(6, down_url) < 3 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(value(4, down_url), 1) << daemon.log();
  ASSERT_EQ(value(4, up_url), 1);
  EXPECT_EQ(value(6, up_url), 3);

  down.stop();
  requests(front, 4); // the first that goes to the stopped backend puts it in error
  const auto refreshed = Clock::now() + std::chrono::seconds(15);
  while (value(4, down_url) != 2 && Clock::now() < refreshed)
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(value(4, down_url), 2)
      << front.get("/server-status?auto", "monitor", "balancer-secret");
  ASSERT_TRUE(wait_for(receiver.process, kMemberError, 1, 10)) << receiver.process.out();
  const std::string trap = receiver.process.out();
  EXPECT_NE(trap.find(member_oid(3, front.port(), down_url) + " = STRING: \"" + down_url),
            std::string::npos)
      << trap;
  EXPECT_NE(trap.find(member_oid(5, front.port(), down_url) + " = STRING: \"Init Err"),
            std::string::npos)
      << trap;

  // In error, the member is passed over: its count stands while the other's
  // grows with every request, through another refresh.
  const long long elected_down = value(6, down_url);
  const long long elected_up = value(6, up_url);
  requests(front, 10);
  const auto next = Clock::now() + std::chrono::seconds(15);
  while (value(6, up_url) < elected_up + 10 && Clock::now() < next)
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(value(6, up_url), elected_up + 10);
  EXPECT_EQ(value(6, down_url), elected_down);
  EXPECT_EQ(value(4, down_url), 2);
  const std::string out = receiver.process.out();
  EXPECT_EQ(count_of(out, kMemberError), 1u) << out;
  EXPECT_EQ(count_of(out, kMemberRecovered), 0u) << out;
}

} // namespace
