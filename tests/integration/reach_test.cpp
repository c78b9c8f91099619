// Servers reached as "server" lines name them, over SNMP: real Apaches on
// 127.0.0.2 only, on [::1] only, on TLS only (a certificate of a CA made
// here, verified against it on one port and refused against another CA on
// a second), and one whose plain port redirects everything to HTTPS.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <map>
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
using testsupport::Mpm;
using testsupport::run_command;

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "reach-secret";
const std::string kPerf = ".1.3.6.1.4.1.32473.16.3.11.2.1.";
const std::string kHealth = ".1.3.6.1.4.1.32473.16.3.13.1.";
const std::string kMods = "/usr/lib/apache2/modules/";

// The numbers of a /server-status?auto page fetched with curl, by label.
std::map<std::string, long> status_page(const std::string &url, const std::string &ca = "") {
  std::vector<std::string> argv = {
      "curl", "-s", "-g", "-m", "10", "-u", std::string(kUser) + ":" + kPassword};
  if (!ca.empty()) {
    argv.insert(argv.end(), {"--cacert", ca});
  }
  argv.push_back(url + "/server-status?auto");
  std::istringstream lines(run_command(argv, 20.0).out);
  std::map<std::string, long> page;
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos && colon + 2 < line.size() &&
        std::isdigit(static_cast<unsigned char>(line[colon + 2])) &&
        page.count(line.substr(0, colon)) == 0) {
      page[line.substr(0, colon)] = std::stol(line.substr(colon + 2));
    }
  }
  return page;
}

// Column -> value of the row of port in a walk of a table under prefix.
std::map<int, long> row_of(const std::vector<testsupport::Varbind> &walk, const std::string &prefix,
                           int port) {
  std::map<int, long> row;
  const std::string suffix = "." + std::to_string(port);
  for (const testsupport::Varbind &vb : walk) {
    const size_t colon = vb.value.find(": ");
    if (vb.oid.rfind(prefix, 0) == 0 && vb.oid.size() > suffix.size() &&
        vb.oid.compare(vb.oid.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        colon != std::string::npos && colon + 2 < vb.value.size() &&
        std::isdigit(static_cast<unsigned char>(vb.value[colon + 2]))) {
      row[std::stoi(vb.oid.substr(prefix.size()))] = std::stol(vb.value.substr(colon + 2));
    }
  }
  return row;
}

TEST(Reach, AddressesIpv6HttpsAndRedirectsOverSnmp) {
  testsupport::TempDir pki;
  testsupport::make_test_certificates(pki.path());
  const std::string ca = pki.file("ca.pem");

  ApacheInstance on_127_0_0_2(kUser, kPassword, "", Mpm::Prefork, "127.0.0.2");
  ApacheInstance on_ipv6(kUser, kPassword, "", Mpm::Event, "::1");
  // Three more TLS ports of the same server: the wrong CA, its address
  // checked against the certificate's, and no verification at all.
  const int second_tls_port = testsupport::free_tcp_port();
  const int by_address_port = testsupport::free_tcp_port();
  const int insecure_port = testsupport::free_tcp_port();
  std::string listen;
  for (int port : {second_tls_port, by_address_port, insecure_port}) {
    listen += "Listen 127.0.0.1:" + std::to_string(port) + "\n";
  }
  ApacheInstance tls(kUser, kPassword, testsupport::tls_only_conf(pki.path(), listen));
  const std::string https_url = "https://localhost:" + std::to_string(tls.port());
  ApacheInstance redirecting(kUser, kPassword,
                             "LoadModule alias_module " + kMods + "mod_alias.so\n" +
                                 "Redirect permanent / " + https_url + "/\n");

  const std::string http_2 = "http://127.0.0.2:" + std::to_string(on_127_0_0_2.port());
  const std::string http_6 = "http://[::1]:" + std::to_string(on_ipv6.port());
  const std::string account = std::string(" ") + kUser + " " + kPassword + " 0";
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.debug = true;
  setup.ostrik_cf =
      "timeout 10\n"
      "server " +
      http_2 + account + "\n" + "server " + http_6 + account + "\n" + "server " + https_url +
      account + " ca=" + ca + "\n" + "server https://127.0.0.1:" + std::to_string(second_tls_port) +
      account + " ca=" + pki.file("wrong.pem") + "\n" +
      "server https://127.0.0.1:" + std::to_string(by_address_port) + account + " ca=" + ca + "\n" +
      "server https://localhost:" + std::to_string(insecure_port) + account + " insecure\n" +
      "server http://127.0.0.1:" + std::to_string(redirecting.port()) + account + "\n";

  std::map<std::string, std::map<std::string, long>> before = {
      {http_2, status_page(http_2)},
      {http_6, status_page(http_6)},
      {https_url, status_page(https_url, ca)}};
  for (const auto &[url, page] : before) {
    ASSERT_EQ(page.count("Total Accesses"), 1u) << "no status page from " << url;
  }
  testsupport::Varnockd daemon(setup);
  const CommandResult perf = daemon.walk(kPerf.substr(0, kPerf.size() - 1));
  const CommandResult health = daemon.walk(kHealth.substr(0, kHealth.size() - 1));
  ASSERT_EQ(perf.exit_code, 0) << perf.err;
  ASSERT_EQ(health.exit_code, 0) << health.err;
  const auto perf_rows = testsupport::parse_varbinds(perf.out);
  const auto health_rows = testsupport::parse_varbinds(health.out);

  // Each row read lies between the pages read before and after it.
  const std::vector<std::pair<std::string, int>> read = {
      {http_2, on_127_0_0_2.port()}, {http_6, on_ipv6.port()}, {https_url, tls.port()}};
  for (const auto &[url, port] : read) {
    SCOPED_TRACE(url);
    std::map<std::string, long> after = status_page(url, url == https_url ? ca : std::string());
    std::map<int, long> row = row_of(perf_rows, kPerf, port);
    EXPECT_EQ(row[1], port);
    EXPECT_GT(row[3], before[url]["Total Accesses"]);
    EXPECT_LT(row[3], after["Total Accesses"]);
    EXPECT_GE(row[2], before[url]["Uptime"]);
    EXPECT_LE(row[2], after["Uptime"]);
    EXPECT_GE(row[5], 1) << "the worker that served the module";
    std::map<int, long> h = row_of(health_rows, kHealth, port);
    EXPECT_EQ(h[3], 1) << "status fetched ok";
    EXPECT_EQ(h[4], 200);
    EXPECT_EQ(h[7], 1) << "info fetched ok";
  }

  // The refused certificate and the redirect, as such.
  std::map<int, long> refused = row_of(health_rows, kHealth, second_tls_port);
  EXPECT_EQ(refused[3], 7) << "certificateRefused";
  EXPECT_EQ(refused[4], 0);
  EXPECT_EQ(row_of(perf_rows, kPerf, second_tls_port).count(3), 1u) << "the row stays";
  for (int port : {by_address_port, insecure_port}) {
    EXPECT_EQ(row_of(health_rows, kHealth, port)[3], 1) << port << " read";
  }
  std::map<int, long> redirected = row_of(health_rows, kHealth, redirecting.port());
  EXPECT_EQ(redirected[3], 5) << "httpError";
  EXPECT_EQ(redirected[4], 301);

  const std::string log = daemon.log();
  EXPECT_NE(log.find(":" + std::to_string(insecure_port) + " is not verified (insecure)"),
            std::string::npos);
  EXPECT_NE(log.find("redirected (301) to " + https_url + "/server-status?auto"), std::string::npos)
      << log;
  EXPECT_NE(
      log.find("certificate of 127.0.0.1 port " + std::to_string(second_tls_port) + " refused: "),
      std::string::npos);
  // The first collection's info and status pages go out together, each
  // with a handshake of its own; the next status refresh (10 s on) resumes
  // the session kept from them.
  const std::string resumed =
      "TLS with localhost port " + std::to_string(tls.port()) + ", session resumed";
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(25);
  while (daemon.log().find(resumed) == std::string::npos &&
         std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_NE(daemon.log().find(resumed), std::string::npos) << daemon.log();
}

} // namespace
