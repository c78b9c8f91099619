// The configuration table over SNMP and the server-info collector against a
// real Apache 2.4 whose configuration the test chooses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "collect/pages/page_refresh.h"
#include "collect/pages/page_text.h"
#include "config/server_list.h"
#include "tests/support/apache.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::Varbind;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "info-secret";
const std::string kTable = ".1.3.6.1.4.1.32473.16.3.10";
const std::string kColumn = kTable + ".1.";

// Settings the fixture's own configuration does not make, or makes
// differently (it says StartServers 2, MaxSpareServers 4, MaxRequestWorkers
// 20, Timeout 60; the page lists both occurrences, the server runs with the
// last). KeepAlive stays the fixture's On: a repeated KeepAlive is read by
// its first occurrence, which may belong to the main server or a virtual
// host, and the page does not tell them apart.
constexpr char kApacheConf[] = "StartServers 3\n"
                               "MinSpareServers 1\n"
                               "MaxSpareServers 6\n"
                               "MaxRequestWorkers 25\n"
                               "MaxConnectionsPerChild 500\n"
                               "MaxKeepAliveRequests 42\n"
                               "Timeout 45\n"
                               "KeepAliveTimeout 7\n";

std::string quoted(const std::string &text) { return "STRING: \"" + text + "\""; }
std::string integer(long value) { return "INTEGER: " + std::to_string(value); }

VarnockdSetup daemon_setup(const std::string &ostrik_cf) {
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = ostrik_cf;
  return setup;
}

TEST(ConfigTableSnmp, WalkAnswersEveryColumnAsTheServerIsConfigured) {
  ApacheInstance apache(kUser, kPassword, kApacheConf);
  const std::string port = std::to_string(apache.port());
  Varnockd daemon(daemon_setup("apache " + port + " " + kUser + " " + kPassword + " 0\n"));

  CommandResult r = daemon.walk(kTable);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Varbind> got = testsupport::parse_varbinds(r.out);
  ASSERT_EQ(got.size(), 25u) << r.out;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].oid, kColumn + std::to_string(i + 1) + "." + port);
  }

  const std::string dir = apache.dir();
  const std::string pid = testsupport::read_file(apache.pid_file());
  ASSERT_GT(std::stol(pid), 0);
  const std::vector<std::string> want = {
      integer(apache.port()),
      "", // the version, checked below
      integer(std::stol(pid)),
      quoted("N/A"), // a 2.x page has no run mode
      quoted("www-data"),
      quoted("www-data"),
      quoted("localhost"), // the ServerName; the page's port (80) is not taken
      integer(3),
      integer(1),
      integer(6),
      integer(25),
      integer(500), // MaxConnectionsPerChild, Apache 2.4's name
      integer(1),
      integer(42),
      integer(0), // prefork: no ThreadsPerChild
      integer(45),
      integer(7),
      quoted(dir),
      quoted(" " + apache.config_file()), // kept as the page writes it after the colon
      quoted("run/httpd.pid"),
      quoted("N/A"), // no ScoreBoardFile configured
      quoted(apache.document_root()),
      quoted("logs/access_log"),
      quoted("logs/error_log"),
      quoted("N/A"), // no ScriptLog
  };
  EXPECT_TRUE(std::regex_match(got[1].value, std::regex(R"(STRING: "Apache/2\.4\.\d+")")))
      << got[1].value;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!want[i].empty()) {
      EXPECT_EQ(got[i].value, want[i]) << "column " << i + 1;
    }
  }

  // A get of single instances answers the same, from the stored values.
  r = daemon.get({kColumn + "3." + port, kColumn + "8." + port});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Varbind> two = testsupport::parse_varbinds(r.out);
  ASSERT_EQ(two.size(), 2u) << r.out;
  EXPECT_EQ(two[0].value, want[2]);
  EXPECT_EQ(two[1].value, integer(3));
}

TEST(ConfigTableSnmp, PortColumnListsExactlyTheAcceptedPortsInAscendingOrder) {
  // Nothing listens on these ports: every fetch fails at once and the rows
  // answer what a server never reached has.
  std::vector<int> ports;
  for (int i = 0; i < 3; ++i) {
    int p = testsupport::free_tcp_port();
    while (std::find(ports.begin(), ports.end(), p) != ports.end()) {
      p = testsupport::free_tcp_port();
    }
    ports.push_back(p);
  }
  const std::string a = std::to_string(ports[0]);
  const std::string b = std::to_string(ports[1]);
  const std::string c = std::to_string(ports[2]);
  const std::string cf = "apache " + c +
                         " u p 0\n"
                         "apache 0 u p 0\n"
                         "apache -80 u p 0\n"
                         "apache " +
                         a +
                         " u p 0\n"
                         "apache " +
                         c +
                         " other pass 0\n"     // the port again
                         "apache none u p 0\n" // no digits: port 0
                         "apache 8 u\n"        // too few fields
                         "APACHE " +
                         b + " u p 60\n";
  Varnockd daemon(daemon_setup(cf));

  CommandResult r = daemon.walk(kColumn + "1");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Varbind> got = testsupport::parse_varbinds(r.out);
  std::sort(ports.begin(), ports.end());
  ASSERT_EQ(got.size(), ports.size()) << r.out;
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(got[i].oid, kColumn + "1." + std::to_string(ports[i]));
    EXPECT_EQ(got[i].value, integer(ports[i]));
  }
  r = daemon.get({kColumn + "2." + a, kColumn + "12." + a});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Varbind> row = testsupport::parse_varbinds(r.out);
  ASSERT_EQ(row.size(), 2u) << r.out;
  EXPECT_EQ(row[0].value, quoted("N/A"));
  EXPECT_EQ(row[1].value, integer(0));
}

using testsupport::fake_now;

// The collector itself against the real server, with the clock in the
// test's hands.
class ServerInfoApacheTest : public ::testing::Test {
protected:
  void SetUp() override { testsupport::fresh_module(1000000, 0); }
  void TearDown() override { testsupport::leave_module(); }
};

TEST_F(ServerInfoApacheTest, ServerNameWithoutPortKeepsItsRowAcrossRefreshes) {
  ApacheInstance apache(kUser, kPassword, kApacheConf);
  // Asked without a Host header, as the collector asks, the server names
  // its canonical port, 80, although it listens on a high port.
  const std::string answer = apache.get("/server-info", kUser, kPassword);
  std::vector<char> text(answer.size() + 1);
  html_to_text(answer.c_str(), text.data());
  char line[513];
  ASSERT_NE(find_label_line("Hostname/port:", text.data(), line, 512), nullptr);
  EXPECT_STREQ(line, "Hostname/port: localhost:80");

  const std::string credentials = testsupport::basic_credentials(kUser, kPassword);
  ASSERT_EQ(add_server(apache.port(), kUser, kPassword, 0, credentials.c_str()), 1);
  ServerEntry *e = find_server(apache.port());
  refresh_server_info();
  EXPECT_EQ(e->port, apache.port());
  EXPECT_STREQ(e->hostname, "localhost");
  EXPECT_EQ(e->pid, apache.pid());
  EXPECT_EQ(e->startProcs, 3);

  // The next refresh reaches the server again at the same port.
  e->pid = 0;
  e->startProcs = 0;
  std::strcpy(e->version, "");
  fake_now += 300;
  refresh_server_info();
  EXPECT_EQ(find_server(apache.port()), e);
  EXPECT_EQ(find_next_server(0), e);
  EXPECT_EQ(e->pid, apache.pid());
  EXPECT_EQ(e->startProcs, 3);
  EXPECT_EQ(std::strncmp(e->version, "Apache/2.4.", 11), 0) << e->version;
}

} // namespace
