// varnockd's command line and lifecycle: bad options, modules that cannot be
// used, a busy port, help and version, and stopping on SIGTERM and SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::CommandResult;
using testsupport::run_command;
using testsupport::TempDir;

// The internet sockets that process pid holds, as "udp 127.0.0.1:1161"
// ("tcp6 <hex address>:port" for IPv6), from its descriptors and the
// kernel's socket tables. TCP sockets are listed only while listening.
std::vector<std::string> inet_sockets(pid_t pid) {
  std::set<std::string> inodes;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto &fd : std::filesystem::directory_iterator(fds)) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(fd.path(), ignored).string();
    if (target.rfind("socket:[", 0) == 0)
      inodes.insert(target.substr(8, target.size() - 9));
  }
  std::vector<std::string> found;
  for (const std::string proto : {"tcp", "tcp6", "udp", "udp6"}) {
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/" + proto);
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      if (inodes.count(inode) == 0 || (proto[0] == 't' && state != "0A"))
        continue;
      const size_t colon = local.find(':');
      const int port = std::stoi(local.substr(colon + 1), nullptr, 16);
      std::string address = local.substr(0, colon);
      if (address.size() == 8) {
        in_addr raw{};
        raw.s_addr = static_cast<in_addr_t>(std::stoul(address, nullptr, 16));
        address = inet_ntoa(raw);
      }
      found.push_back(proto + " " + address + ":" + std::to_string(port));
    }
  }
  return found;
}

// Runs the daemon, which is expected to stop by itself at once.
CommandResult run_daemon(std::vector<std::string> args) {
  args.insert(args.begin(), VARNOCKD_PATH);
  return run_command(args, 30.0);
}

TEST(DaemonCli, RefusesBadStartsWithAClearMessage) {
  TempDir dir;
  const std::string address = "udp:127.0.0.1:" + std::to_string(testsupport::free_udp_port());
  const std::string module = VARNOCK_TEST_MODULE_PATH;
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"-x"}, "unknown option -x"},
      {{"--tick"}, "option --tick needs an argument"},
      {{"--tick", "0"}, "--tick needs a whole number of seconds"},
      {{"--tick", "5s"}, "--tick needs a whole number of seconds"},
      {{"--tick", "-1"}, "--tick needs a whole number of seconds"},
      {{"--serve", "lazy"}, "--serve needs snapshot or live, not 'lazy'"},
      {{"--config-dir", ""}, "--config-dir needs a directory"},
      {{"--config-dir", "/" + std::string(1000, 'd')}, "--config-dir is too long"},
      {{"--config-dir", dir.file("missing"), "--module", module}, "does not exist"},
      {{"--module", ""}, "--module needs a path"},
      {{"-L", "z"}, "bad log option"},
      // A library that is not there, and one that is no module.
      {{"--config-dir", dir.path(), "--module", dir.file("none.so"), address},
       "cannot load module " + dir.file("none.so") + ": "},
      {{"--config-dir", dir.path(), "--module", VARNOCK_LIBRARY_PATH, address},
       "does not export 'init'"},
  };
  for (const Case &c : cases) {
    CommandResult r = run_daemon(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.args.at(0) << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos)
        << "expected '" << c.message << "' in " << r.err;
  }
}

TEST(DaemonCli, ModuleLoadFailureNamesTheLoadersReason) {
  TempDir dir;
  testsupport::write_file(dir.file("broken.so"), std::string(4096, 'x'));
  CommandResult r = run_daemon({"--config-dir", dir.path(), "--module", dir.file("broken.so"),
                                "udp:127.0.0.1:" + std::to_string(testsupport::free_udp_port())});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("invalid ELF header"), std::string::npos) << r.err;
}

TEST(DaemonCli, BusyPortStopsTheDaemonBeforeAnyModuleStarts) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  const std::string address = "udp:127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  // In both serving modes; the scratch directory goes too.
  TempDir dir, tmp;
  ASSERT_EQ(setenv("TMPDIR", tmp.path().c_str(), 1), 0);
  for (const char *serve : {"--serve=snapshot", "--serve=live"}) {
    CommandResult r = run_daemon(
        {"--config-dir", dir.path(), serve, "--module", VARNOCK_TEST_MODULE_PATH, address});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot listen on " + address), std::string::npos) << r.err;
    EXPECT_EQ(testsupport::read_file(dir.file("test_module.log")), "");
    EXPECT_EQ(run_command({"ls", "-A", tmp.path()}).out, "") << serve;
  }
  unsetenv("TMPDIR");
  close(fd);
}

TEST(DaemonCli, BareModuleNameIsAFileInTheCurrentDirectory) {
  // The port is busy, so the daemon stops right after loading the module:
  // the message tells whether the load worked.
  const int busy = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(busy, reinterpret_cast<sockaddr *>(&addr), &len);
  const std::string module = VARNOCK_TEST_MODULE_PATH;
  const std::string dir = module.substr(0, module.rfind('/'));
  const std::string name = module.substr(module.rfind('/') + 1);
  TempDir config;
  CommandResult r = run_command({"sh", "-c",
                                 "cd '" + dir + "' && exec '" + VARNOCKD_PATH + "' --config-dir '" +
                                     config.path() + "' --module '" + name +
                                     "' udp:127.0.0.1:" + std::to_string(ntohs(addr.sin_port))},
                                30.0);
  close(busy);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot listen on"), std::string::npos) << r.err;
}

TEST(DaemonCli, LogOptionsChooseTheOutput) {
  TempDir logs;
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {VARNOCK_TEST_MODULE_PATH};
  setup.extra_args = {"-Lf", logs.file("varnockd.log")};
  testsupport::Varnockd daemon(setup);
  EXPECT_EQ(daemon.stop(), 0);
  const std::string log = testsupport::read_file(logs.file("varnockd.log"));
  EXPECT_NE(log.find("varnockd: module testmod (varnock test module) serves .1.3.6.1.4.1.32473.99"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("varnockd: stopping on SIGTERM"), std::string::npos) << log;
  EXPECT_EQ(daemon.log(), "");
}

TEST(DaemonCli, PlainStartListensOnTheConfiguredAddressAloneWithoutErrors) {
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {VARNOCK_TEST_MODULE_PATH};
  testsupport::Varnockd daemon(setup);
  EXPECT_EQ(inet_sockets(daemon.process().pid()),
            std::vector<std::string>{"udp 127.0.0.1:" + std::to_string(daemon.port())});
  EXPECT_EQ(daemon.stop(), 0);
  std::istringstream log(daemon.log());
  for (std::string line; std::getline(log, line);) {
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    for (const char *word : {"error", "fail", "cannot", "unable", "warning", "in use"})
      EXPECT_EQ(lower.find(word), std::string::npos) << line;
  }
}

TEST(DaemonCli, HelpAndVersion) {
  CommandResult help = run_daemon({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char *text : {"Usage: varnockd [OPTIONS] [LISTENING-ADDRESS ...]", "--config-dir DIR",
                           "--module PATH", "--tick SECONDS", "--serve MODE", "--debug", "-L",
                           "udp:127.0.0.1:1161", "/varnockd)", OSTRIK_MODULE_PATH}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
  CommandResult version = run_daemon({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("varnockd 1.0.5 (Net-SNMP ", 0), 0u) << version.out;
}

TEST(DaemonCli, StopsCleanlyOnSigtermAndSigint) {
  for (int sig : {SIGTERM, SIGINT}) {
    testsupport::VarnockdSetup setup;
    setup.daemon = VARNOCKD_PATH;
    setup.modules = {VARNOCK_TEST_MODULE_PATH};
    testsupport::Varnockd daemon(setup);
    EXPECT_EQ(daemon.stop(sig), 0) << daemon.log();
    const std::string name = sig == SIGTERM ? "SIGTERM" : "SIGINT";
    EXPECT_NE(daemon.log().find("varnockd: stopping on " + name), std::string::npos)
        << daemon.log();
    const std::string module_log = testsupport::read_file(daemon.config_dir() + "/test_module.log");
    EXPECT_NE(module_log.find("\nfinish\n"), std::string::npos) << module_log;
  }
}

TEST(DaemonCli, NoVarnockdConfMeansNothingWrittenToTheConfigDirectory) {
  // Nor, without --state-dir, to Net-SNMP's persistent directory (named here
  // by the environment, as /var/lib/snmp would be by default): its scratch
  // stand-in lives under TMPDIR and goes when the daemon stops.
  testsupport::TempDir persistent, tmp;
  testsupport::VarnockdSetup setup;
  setup.launcher = {"env", "SNMP_PERSISTENT_DIR=" + persistent.path(), "TMPDIR=" + tmp.path()};
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {VARNOCK_TEST_MODULE_PATH};
  testsupport::Varnockd daemon(setup);
  daemon.stop();
  const auto names_in = [](const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  // Only the daemon's own output files and what the test module wrote.
  EXPECT_EQ(names_in(daemon.config_dir()),
            (std::vector<std::string>{"test_module.log", "varnockd.err", "varnockd.out"}));
  EXPECT_EQ(names_in(persistent.path()), std::vector<std::string>{});
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{});
  EXPECT_EQ(daemon.log().find("Created directory"), std::string::npos) << daemon.log();
}

} // namespace
