// Notifications of the sample varnockd.conf: Net-SNMP's event MIB inside
// varnockd watches the health table and sends apacheServerDown once when a
// real Apache stops answering and apacheServerUp once when it is back, to
// Net-SNMP's snmptrapd on a loopback port: from a daemon of its own, and
// from a sub-agent through its AgentX master.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
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

} // namespace
