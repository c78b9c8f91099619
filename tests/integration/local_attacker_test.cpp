// A local user without privilege (nobody) against a varnockd run by root:
// an impostor program named httpd on a loopback port, symbolic links to a
// root-only file at paths that servers' pages name (planted before and after
// the daemon starts), a FIFO swapped in behind such a link, and a
// 240-character ServerName. None of it may carry a password or a byte of
// root's file out, stop the agent answering, or damage another row.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hostile_server.h"
#include "tests/support/ostrik_walk.h"
#include "tests/support/process.h"
#include "tests/support/unit_privileges.h"
#include "tests/support/varnockd.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ApacheFacts;
using testsupport::HostileServer;
using testsupport::OstrikWalk;
using testsupport::run_command;
using testsupport::TempDir;
using testsupport::Varnockd;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "attacker-secret";
constexpr char kLogEntry[] = ".1.3.6.1.4.1.32473.16.3.14.1";
constexpr char kVhostLines[] = ".1.3.6.1.4.1.32473.16.3.15.1.3.";
// Root's secret line; it reads as a log line with a virtual host in front.
constexpr char kMarker[] = "marker-7f3a9c";
const std::string kSecretLine = std::string(kMarker) +
                                ".example.test:80 127.0.0.1 - - [10/Dec/2025:04:00:00 +0000] "
                                "\"GET / HTTP/1.1\" 200 5 \"-\" \"-\"\n";

std::vector<std::string> as_nobody(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  return argv;
}

void must_as_nobody(const std::vector<std::string> &argv) {
  const testsupport::CommandResult r = run_command(as_nobody(argv));
  ASSERT_EQ(r.exit_code, 0) << argv.back() << ": " << r.err;
}

void append(const std::string &path, const std::string &text) {
  testsupport::write_file(path, testsupport::read_file(path) + text);
}

OstrikWalk walk_until(Varnockd &daemon, double seconds,
                      const std::function<bool(const OstrikWalk &)> &done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    OstrikWalk walk = testsupport::parse_ostrik_walk(daemon.walk(testsupport::kOstrikSubtree).out);
    if (done(walk) || std::chrono::steady_clock::now() > until)
      return walk;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

// The virtual host rows of a port in the walk: name -> lines.
std::map<std::string, long long> vhost_rows(const OstrikWalk &walk, int port) {
  std::map<std::string, long long> rows;
  const std::string prefix = kVhostLines + std::to_string(port) + ".";
  for (const auto &[oid, value] : walk.values) {
    if (oid.rfind(prefix, 0) != 0)
      continue;
    std::string name;
    size_t at = oid.find('.', prefix.size()); // past the length
    while (at != std::string::npos) {
      const size_t next = oid.find('.', at + 1);
      name += static_cast<char>(std::stoi(oid.substr(at + 1, next - at - 1)));
      at = next;
    }
    rows[name] = std::stoll(value.substr(value.find(": ") + 2));
  }
  return rows;
}

testsupport::VarnockdSetup setup_for(const std::string &ostrik_cf) {
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = ostrik_cf;
  setup.tick_seconds = 1;
  return setup;
}

std::string server_line(int port) {
  return "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 1\n";
}

TEST(LocalAttacker, AnImpostorHttpdGetsNoPasswordAndNoRow) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  fs::copy_file("/usr/bin/python3", dir.file("httpd"));
  const std::string record = dir.file("received");
  testsupport::write_file(record, "");
  ASSERT_EQ(chown(record.c_str(), testsupport::user_id("nobody"), static_cast<gid_t>(-1)), 0);
  const int port = testsupport::free_tcp_port();
  // Answers every request with a status page and keeps what it was sent.
  const std::string server = R"(
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(16)
while True:
    c, _ = s.accept(); c.settimeout(5); data = b""
    try:
        while b"\r\n\r\n" not in data:
            more = c.recv(4096)
            if not more: break
            data += more
    except OSError: pass
    with open(sys.argv[2], "ab") as f: f.write(data)
    c.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nTotal Accesses: 7\n"
              b"Uptime: 100\nBusyWorkers: 1\nIdleWorkers: 4\nScoreboard: W____\n")
    c.close()
)";
  testsupport::Process impostor(
      as_nobody({dir.file("httpd"), "-c", server, std::to_string(port), record}), dir.file("log"));
  ASSERT_TRUE(testsupport::wait_for_tcp_port(port, 10.0));
  ASSERT_EQ(testsupport::read_file("/proc/" + std::to_string(impostor.pid()) + "/comm"), "httpd\n");

  ASSERT_EQ(setenv("OSTRIK_DISCOVER_INTERVAL", "2", 1), 0);
  // Only the impostor's port: other tests' servers are left alone.
  Varnockd daemon(setup_for(std::string("discover ") + kUser + " " + kPassword +
                            " ports=" + std::to_string(port) + "\n"));
  unsetenv("OSTRIK_DISCOVER_INTERVAL");
  std::this_thread::sleep_for(std::chrono::seconds(5)); // two looks for servers
  const OstrikWalk walk =
      testsupport::parse_ostrik_walk(daemon.walk(testsupport::kOstrikSubtree).out);
  EXPECT_EQ(walk.number(testsupport::kHealthEntry, 1, port), -1) << "a row for the impostor";
  EXPECT_EQ(testsupport::read_file(record).find("Authorization"), std::string::npos)
      << testsupport::read_file(record);
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

TEST(LocalAttacker, FilesNamedByPagesLeakNothingBlockNothingAndLongNamesHarmNoRow) {
  TempDir base;
  chmod(base.path().c_str(), 0755);
  const std::string secret = base.file("secret");
  testsupport::write_file(secret, kSecretLine);
  chmod(secret.c_str(), 0600);
  // nobody's own directory, where it plants what it likes.
  const std::string home = base.file("home");
  fs::create_directory(home);
  ASSERT_EQ(chown(home.c_str(), testsupport::user_id("nobody"), testsupport::group_id("nogroup")),
            0);
  const std::string logs = base.file("logs"); // root's, for the long name
  fs::create_directory(logs);
  testsupport::write_file(logs + "/d.log", "");

  auto facts = [](const std::string &log, const std::string &hostname = "www.example.test") {
    ApacheFacts f;
    f.hostname = hostname;
    f.access_log = log + " vhost_combined";
    return f;
  };
  must_as_nobody({"ln", "-s", secret, home + "/before.log"});
  must_as_nobody({"touch", home + "/fifo.log"});
  HostileServer before(facts(home + "/before.log"));
  HostileServer after(facts(home + "/after.log"));
  HostileServer fifo(facts(home + "/fifo.log"));
  const std::string long_name(240, 'h');
  HostileServer named(facts(logs + "/d.log", long_name));
  const std::vector<HostileServer *> servers = {&before, &after, &fifo, &named};
  std::string cf;
  for (const HostileServer *s : servers)
    cf += server_line(s->port());
  Varnockd daemon(setup_for(cf));

  // After the daemon has first looked at them: the link planted late, the
  // FIFO behind a link in place of a file, and more lines in each log.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  must_as_nobody({"ln", "-s", secret, home + "/after.log"});
  must_as_nobody({"mkfifo", home + "/pipe"});
  must_as_nobody({"ln", "-sf", home + "/pipe", home + "/fifo.log"});
  append(secret, kSecretLine);
  const std::string www = "www.example.test:80 127.0.0.1 - - [10/Dec/2025:04:00:00 +0000] "
                          "\"GET / HTTP/1.1\" 200 5 \"-\" \"-\"\n";
  append(logs + "/d.log",
         std::string(long_name) + www.substr(16) + www + long_name + www.substr(16) + www);

  // It keeps answering, each get within its time-out, tick after tick.
  for (int i = 0; i < 5; ++i) {
    const testsupport::CommandResult get =
        daemon.get({std::string(testsupport::kOstrikSubtree) + ".1.0"});
    EXPECT_EQ(get.exit_code, 0) << "get " << i << ": " << get.err;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  const OstrikWalk walk = walk_until(daemon, 20, [&](const OstrikWalk &w) {
    return vhost_rows(w, named.port()).count("www.example.test") &&
           vhost_rows(w, named.port()).at("www.example.test") >= 2;
  });
  ASSERT_TRUE(daemon.process().running()) << daemon.log();

  std::string text;
  for (const auto &[oid, value] : walk.values)
    text += oid + " = " + value + "\n";
  EXPECT_EQ(text.find(kMarker), std::string::npos) << text;
  for (const HostileServer *s : {&before, &after, &fifo}) {
    SCOPED_TRACE(s->facts().access_log);
    EXPECT_NE(walk.text(kLogEntry, 4, s->port()).find("refused"), std::string::npos)
        << walk.text(kLogEntry, 4, s->port());
    EXPECT_TRUE(vhost_rows(walk, s->port()).empty());
  }
  // The long name has no row; the other host of its log has its own, whole.
  EXPECT_EQ(vhost_rows(walk, named.port()),
            (std::map<std::string, long long>{{"www.example.test", 2}}));
  for (const HostileServer *s : servers) {
    EXPECT_EQ(walk.number(testsupport::kPerformanceEntry, 2, s->port()), s->facts().uptime);
    EXPECT_EQ(walk.text(testsupport::kConfigEntry, 5, s->port()), s->facts().user);
  }
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

} // namespace
