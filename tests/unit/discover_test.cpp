// Discovery on a process file system of the test's own making: which
// processes are servers, which of their sockets count, what a malformed
// file does, and which servers become rows.
#include "collect/processes/discover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <string>
#include <thread>
#include <vector>

#include "collect/processes/listen_owner.h"
#include "config/read_config.h"
#include "config/server_list.h"
#include "tests/support/fake_proc.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::FakeProc;
using testsupport::ScriptedServer;

constexpr char kAny6[] = "00000000000000000000000000000000";

class Discover : public ::testing::Test {
protected:
  testsupport::TempDir root;
  FakeProc tree{root.path()};

  void SetUp() override {
    fake_varnock::reset();
    free_server_list();
    discovery_reset();
    listen_owner_reset();
    platform_set_proc_root(root.path().c_str());
  }
  void TearDown() override {
    platform_set_proc_root(nullptr);
    free_server_list();
    discovery_reset();
    listen_owner_reset();
    discover_setting = DiscoverSetting{};
  }

  std::vector<FoundServer> found(int *unreachable = nullptr, TrustedUsers users = {}) {
    tree.flush();
    std::vector<PlatformProcess> processes;
    std::vector<PlatformListener> listeners;
    EXPECT_EQ(platform_list_processes(&processes, nullptr), 0);
    EXPECT_EQ(platform_list_listeners(&listeners, nullptr), 0);
    return find_servers(processes, listeners, unreachable, users);
  }
};

// Each place once, others before fallbacks, by port; as "port address".
std::vector<std::string> places(const FoundServer &server) {
  std::vector<std::string> out;
  for (const FoundEndpoint &e : server.endpoints) {
    char text[PLATFORM_ADDRESS_TEXT];
    platform_format_address(&e.address, text, sizeof text);
    out.push_back(std::to_string(e.port) + " " + text + (e.fallback ? " fallback" : ""));
  }
  return out;
}

TEST_F(Discover, FindsEveryApacheParentWithThePlacesItListensOn) {
  EXPECT_TRUE(is_apache_name("httpd.worker"));
  EXPECT_FALSE(is_apache_name("lighttpd"));
  EXPECT_FALSE(is_apache_name("apache2ctl"));
  tree.listen4("0100007F", 8081, 11); // 127.0.0.1
  tree.listen6(kAny6, 8080, 12);      // every address, IPv6 and (mostly) IPv4
  tree.listen4("0200007F", 8082, 13); // 127.0.0.2 only
  tree.listen4("00000000", 9000, 14); // lighttpd's
  tree.listen6("00000000000000000000000001000000", 8083, 15); // ::1
  tree.listen4("00000000", 8081, 16);                         // reached at 127.0.0.1 again
  tree.listen6("000080FE000000000000000001000000", 8084, 17); // fe80::1: no interface known
  tree.listen4("076433C6", 8085, 18);                         // 198.51.100.7: not ours
  tree.process(1, 0, "systemd");
  tree.process(50, 1, "apache2", {11, 12, 13, 15, 16, 17, 18, 99});
  tree.process(51, 50, "apache2", {11, 12, 13}); // a child: not a server of its own
  tree.process(60, 1, "httpd-prefork", {});      // listens nowhere
  tree.process(70, 1, "lighttpd", {14});
  tree.process(80, 1, "my (odd) httpd", {14});
  int unreachable = 0;
  const std::vector<FoundServer> servers = found(&unreachable);
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers[0].pid, 50);
  EXPECT_STREQ(servers[0].name, "apache2");
  EXPECT_EQ(places(servers[0]),
            (std::vector<std::string>{"8080 127.0.0.1", "8081 127.0.0.1", "8082 127.0.0.2",
                                      "8083 ::1", "8080 ::1 fallback"}));
  EXPECT_EQ(unreachable, 2);
}

// Any user may name a program httpd: only root's servers (and the owner's)
// count, and only with sockets their own user made.
TEST_F(Discover, OnlyRootsAndTheOwnersServersWithTheirOwnSocketsCount) {
  tree.listen4("0100007F", 8080, 11);
  tree.listen4("0100007F", 8081, 12, 65534); // nobody's, handed to root's server
  tree.listen4("0100007F", 8082, 13, 65534);
  tree.listen4("0100007F", 8083, 14, 1000);
  tree.process(50, 1, "apache2", {11, 12});
  tree.process(60, 1, "httpd", {13}, 65534);
  tree.process(70, 1, "httpd", {14}, 1000);
  std::vector<FoundServer> servers = found();
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(places(servers[0]), std::vector<std::string>{"8080 127.0.0.1"});
  servers = found(nullptr, TrustedUsers{true, 1000});
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].pid + servers[1].pid, 50 + 70);
}

// Root's server as an unprivileged reader sees it: its descriptors cannot
// be listed, so the sockets of its user that no listable process holds are
// its candidates, one per port, without a pid.
TEST_F(Discover, UnlistableDescriptorsMakeTheUsersUnheldSocketsCandidates) {
  tree.listen4("00000000", 80, 21);
  tree.listen6(kAny6, 80, 22);
  tree.listen4("0100007F", 22, 23);          // sshd: a candidate too, until probed
  tree.listen4("0100007F", 5000, 24);        // held by a process we can list
  tree.listen4("0100007F", 8080, 25, 65534); // another user's
  tree.process(50, 1, "apache2", {}, 0, true);
  tree.process(51, 50, "apache2", {}, 33, true);
  tree.process(90, 1, "python3", {24});
  tree.process(95, 1, "httpd", {}, 65534, true);
  const std::vector<FoundServer> servers = found();
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].pid, 0);
  EXPECT_EQ(places(servers[0]), std::vector<std::string>{"22 127.0.0.1"});
  EXPECT_EQ(places(servers[1]), (std::vector<std::string>{"80 127.0.0.1", "80 ::1 fallback"}));
  EXPECT_EQ(servers[1].inodes, (std::vector<uint64_t>{21, 22}));
  EXPECT_STREQ(servers[1].name, "apache2");
}

// What the kernel would never write is passed over with its file and line;
// what can be read around it still is.
TEST_F(Discover, MalformedProcFilesAreNamedWithTheirLinesAndPassedOver) {
  for (const std::string &line : std::vector<std::string>{
           "   0: 0100007F:1F90", "   1: 0100007G:1F90 00000000:0000 0A 0 0 0 0 0 7",
           "   2: 0100007F:1FFFFF 00000000:0000 0A 0 0 0 0 0 7",
           "   3: 0100007F:1F90 00000000:0000 0A 0 0 0 0 0 x7",
           "   4: 0100007F:1F90 " + std::string(600, 'A')}) {
    tree.raw_tcp_line(line);
  }
  tree.listen4("0100007F", 8080, 21);
  tree.process(50, 1, "apache2", {21});
  tree.process(66, 1, "x");
  testsupport::write_file(root.path() + "/66/stat", "66 no parentheses S 1\n");
  tree.flush();
  std::vector<PlatformListener> listeners;
  std::vector<PlatformProcess> processes;
  std::vector<PlatformProcProblem> problems;
  ASSERT_EQ(platform_list_listeners(&listeners, &problems), 0);
  ASSERT_EQ(platform_list_processes(&processes, &problems), 0);
  std::vector<int> lines;
  for (const PlatformProcProblem &p : problems) {
    lines.push_back(p.line);
  }
  EXPECT_EQ(lines, (std::vector<int>{2, 3, 4, 5, 6, 1}));
  EXPECT_EQ(problems.front().path, root.path() + "/net/tcp");
  EXPECT_EQ(problems.back().path, root.path() + "/66/stat");
  ASSERT_EQ(listeners.size(), 1u);
  EXPECT_EQ(listeners[0].port, 8080);
  EXPECT_EQ(listeners[0].inode, 21u);
  ASSERT_EQ(processes.size(), 1u);

  // The same tree through a whole look: the problems are logged, not fatal.
  // Port 8080 is not the test's: ports= keeps the look away from it.
  discover_setting.enabled = 1;
  discover_setting.portCount = 1;
  discover_setting.ports[0] = 1;
  EXPECT_EQ(discover_servers(), 0);
  bool logged = false;
  for (const auto &entry : fake_varnock::log()) {
    logged = logged || entry.text.find("/net/tcp line 2 not understood") != std::string::npos;
  }
  EXPECT_TRUE(logged);
}

// The first port whose status page answers becomes the row; a server whose
// port a server line names, or that was settled before, adds nothing.
TEST_F(Discover, TheFirstPortThatAnswersItsStatusPageBecomesARow) {
  ScriptedServer status(ScriptedServer::PerRequest{}, [](const std::string &) {
    return ScriptedServer::Script{
        ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\nBusyWorkers: 1\nIdleWorkers: 3\n"), {}};
  });
  ScriptedServer other(ScriptedServer::whole("HTTP/1.0 404 Not Found\r\n\r\nno\n"),
                       ScriptedServer::End::Close, -1);
  // A hung Apache: its probes wait a short while, not the line's time-out.
  ScriptedServer hung(ScriptedServer::whole(""), ScriptedServer::End::Silent, -1);
  const int answering = status.port();
  tree.listen4("0100007F", other.port(), 31);
  tree.listen4("0100007F", answering, 32);
  tree.listen4("0100007F", hung.port(), 33);
  tree.process(50, 1, "apache2", {31, 32});
  tree.process(60, 1, "httpd", {33});
  tree.flush();
  discover_setting.enabled = 1;
  discover_setting.reach.timeout = 30;
  // Limited by ports= to the two that do not answer: no row, and the
  // answering one is not asked.
  discover_setting.portCount = 2;
  discover_setting.ports[0] = static_cast<uint16_t>(other.port());
  discover_setting.ports[1] = static_cast<uint16_t>(hung.port());
  EXPECT_EQ(discover_servers(), 0);
  EXPECT_TRUE(status.requests().empty());
  EXPECT_EQ(server_list, nullptr);
  discovery_reset();
  discover_setting.portCount = 0;
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(refresh_discovery(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  ASSERT_NE(server_list, nullptr);
  EXPECT_EQ(server_list->port, answering);
  EXPECT_EQ(server_list->next, nullptr);
  // Fetched from now on where it answered, with the discover line's options.
  EXPECT_EQ(server_list->reach.scheme, SCHEME_HTTP);
  EXPECT_EQ(server_list->reach.address.family, PLATFORM_IPV4);
  EXPECT_STREQ(server_list->reach.host, "127.0.0.1");
  EXPECT_EQ(server_list->reach.discovered, 1);
  EXPECT_EQ(server_list->reach.timeout, 30);
  EXPECT_EQ(discover_servers(), 0); // settled: not asked again
  EXPECT_EQ(status.requests().size(), 1u);
  EXPECT_EQ(status.requests()[0].find("Authorization"), std::string::npos);

  // Named by a server line: no row of discovery's own.
  free_server_list();
  discovery_reset();
  ASSERT_EQ(add_server(other.port(), "u", "p", 0, "dTpw"), 1);
  EXPECT_EQ(discover_servers(), 0);
  EXPECT_EQ(server_list->next, nullptr);
}

// Ports found without their process: each that answers as a status page
// becomes a row (the same server on a second port does not), the others are
// not asked again, another user's socket is never asked, and no probe is
// logged.
TEST_F(Discover, PortsFoundWithoutTheirProcessAreProbedOnceAndQuietly) {
  const auto page = [](const std::string &) {
    return ScriptedServer::Script{
        ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\nServerVersion: Apache/2.4\n"
                              "RestartTime: Monday, 01-Jan-2024 00:00:00 UTC\nBusyWorkers: 1\n"),
        {}};
  };
  ScriptedServer status(ScriptedServer::PerRequest{}, page);
  ScriptedServer again(ScriptedServer::PerRequest{}, page);
  ScriptedServer other(ScriptedServer::PerRequest{}, [](const std::string &) {
    return ScriptedServer::Script{ScriptedServer::whole("SSH-2.0-x\r\n"), {}};
  });
  ScriptedServer impostor(ScriptedServer::PerRequest{}, page);
  tree.listen4("0100007F", status.port(), 31);
  tree.listen4("0100007F", again.port(), 32);
  tree.listen4("0100007F", other.port(), 33);
  tree.listen4("0100007F", impostor.port(), 34, 65534);
  tree.process(50, 1, "apache2", {}, 0, true);
  tree.process(60, 1, "httpd", {34}, 65534);
  tree.flush();
  discover_setting.enabled = 1;
  std::snprintf(discover_setting.credentials, sizeof discover_setting.credentials, "dTpw");
  EXPECT_EQ(discover_servers(), 1);
  ASSERT_NE(server_list, nullptr);
  EXPECT_EQ(server_list->port, std::min(status.port(), again.port()));
  EXPECT_EQ(server_list->next, nullptr);
  EXPECT_EQ(server_list->pathsTrusted, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // its recording ends
  const size_t asked = other.requests().size();
  EXPECT_GE(asked, 1u);
  EXPECT_EQ(discover_servers(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(other.requests().size(), asked);
  EXPECT_EQ(std::max(status.requests().size(), again.requests().size()), 1u);
  EXPECT_TRUE(impostor.requests().empty());
  for (const auto &entry : fake_varnock::log()) {
    EXPECT_EQ(entry.text.find("fetch_page"), std::string::npos) << entry.text;
  }
}

} // namespace
