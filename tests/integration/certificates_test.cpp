// The certificate table against a real Apache with two name-based HTTPS
// virtual hosts on one port, each with a certificate of its own that the
// test makes (one expiring in two days), and an alias the first does not
// cover: each row's name and dates are exact, and the alias is a finding.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::CommandResult;

constexpr char kCertEntry[] = ".1.3.6.1.4.1.32473.16.3.17.1";

// A CA and, signed by it, a certificate for each name that expires in days.
void make_certificate(const std::string &dir, const std::string &name, int days) {
  const std::string script =
      "set -e; cd '" + dir + "'\n" +
      "[ -f ca.pem ] || { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "
      "ca.key; openssl req -x509 -new -key ca.key -out ca.pem -days 30 -subj /CN=ostrik-cert-ca; "
      "}\n"
      "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
      name + ".key\n" + "openssl req -new -key " + name + ".key -out " + name +
      ".csr -subj /CN=" + name + "\n" + "printf 'subjectAltName=DNS:" + name + "\\n' > " + name +
      ".ext\n" + "openssl x509 -req -in " + name +
      ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + name + ".pem -days " +
      std::to_string(days) + " -extfile " + name + ".ext 2>/dev/null\n" + "chmod 644 *\n";
  const CommandResult r = testsupport::run_command({"bash", "-c", script}, 60.0);
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

// The certificate's notBefore or notAfter as seconds since the epoch.
long long certificate_time(const std::string &pem, const char *which) {
  const CommandResult r =
      testsupport::run_command({"bash", "-c",
                                "date -u -d \"$(openssl x509 -noout -" + std::string(which) +
                                    " -in '" + pem + "' | cut -d= -f2)\" +%s"},
                               20.0);
  return r.exit_code == 0 ? std::stoll(r.out) : -1;
}

// An SNMP DateAndTime in UTC as the tools print it: "Hex-STRING: 07 EA ...".
std::string date_and_time(long long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  const int year = tm.tm_year + 1900;
  char text[64];
  std::snprintf(text, sizeof text, "Hex-STRING: %02X %02X %02X %02X %02X %02X %02X 00 2B 00 00 ",
                year >> 8, year & 0xFF, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

// The walk of the table as OID (below the entry: column.port.length.name)
// to value.
std::map<std::string, std::string> walk_table(const testsupport::Varnockd &daemon) {
  std::map<std::string, std::string> cells;
  std::istringstream lines(daemon.walk(kCertEntry).out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find(" = ");
    if (eq != std::string::npos &&
        line.compare(0, sizeof kCertEntry, std::string(kCertEntry) + ".") == 0) {
      cells[line.substr(sizeof kCertEntry, eq - sizeof kCertEntry)] = line.substr(eq + 3);
    }
  }
  return cells;
}

// The index of the row of port and name: port.length.bytes.
std::string row_index(int port, const std::string &name) {
  std::string index = std::to_string(port) + "." + std::to_string(name.size());
  for (const unsigned char c : name) {
    index += "." + std::to_string(c);
  }
  return index;
}

TEST(Certificates, EachNameBasedHostHasItsOwnCertificateAndDates) {
  testsupport::TempDir pki;
  make_certificate(pki.path(), "short.test", 2);
  make_certificate(pki.path(), "long.test", 90);
  const int tls_port = testsupport::free_tcp_port();
  const std::string mods = "/usr/lib/apache2/modules/";
  auto vhost = [&](const std::string &name, const std::string &alias) {
    return "<VirtualHost 127.0.0.1:" + std::to_string(tls_port) + ">\n  ServerName " + name + "\n" +
           alias + "  SSLEngine on\n  SSLCertificateFile " + pki.path() + "/" + name +
           ".pem\n  SSLCertificateKeyFile " + pki.path() + "/" + name + ".key\n</VirtualHost>\n";
  };
  testsupport::ApacheInstance apache(
      "admin", "secret",
      "LoadModule socache_shmcb_module " + mods + "mod_socache_shmcb.so\nLoadModule ssl_module " +
          mods + "mod_ssl.so\nListen 127.0.0.1:" + std::to_string(tls_port) + "\n" +
          vhost("short.test", "  ServerAlias www.short.test\n") + vhost("long.test", ""));

  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = "apache " + std::to_string(apache.port()) + " admin secret 0\n";
  setup.tick_seconds = 1;
  testsupport::Varnockd daemon(setup);

  const std::string shortRow = row_index(tls_port, "short.test");
  const std::string longRow = row_index(tls_port, "long.test");
  const std::string aliasRow = row_index(tls_port, "www.short.test");
  std::map<std::string, std::string> cells;
  long long walked = 0; // when the last walk began: the seconds left are counted from then on
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (std::chrono::steady_clock::now() < deadline) {
    walked = static_cast<long long>(std::time(nullptr));
    cells = walk_table(daemon);
    if (cells["4." + shortRow] == "INTEGER: 1" && cells["4." + longRow] == "INTEGER: 1" &&
        cells["4." + aliasRow] == "INTEGER: 1") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ASSERT_EQ(cells["4." + shortRow], "INTEGER: 1") << daemon.log();
  // Three rows, no more: the names of the one TLS port.
  size_t rows = 0;
  for (const auto &cell : cells) {
    rows += cell.first.compare(0, 2, "1.") == 0 ? 1 : 0;
  }
  EXPECT_EQ(rows, 3u);

  for (const auto &[name, row] : std::map<std::string, std::string>{
           {"short.test", shortRow}, {"long.test", longRow}, {"www.short.test", aliasRow}}) {
    SCOPED_TRACE(name);
    const std::string served = name == "long.test" ? "long.test" : "short.test";
    const std::string pem = pki.path() + "/" + served + ".pem";
    EXPECT_EQ(cells["1." + row], "INTEGER: " + std::to_string(tls_port));
    EXPECT_EQ(cells["2." + row], "STRING: \"" + name + "\"");
    EXPECT_EQ(cells["3." + row], "INTEGER: " + std::to_string(apache.port()));
    EXPECT_EQ(cells["6." + row], "STRING: \"CN=" + served + "\"");
    EXPECT_EQ(cells["7." + row], "STRING: \"CN=ostrik-cert-ca\"");
    EXPECT_EQ(cells["8." + row], date_and_time(certificate_time(pem, "startdate")));
    const long long notAfter = certificate_time(pem, "enddate");
    EXPECT_EQ(cells["9." + row], date_and_time(notAfter));
    const long long left = std::stoll(cells["10." + row].substr(9));
    const long long expected = notAfter - walked;
    EXPECT_LE(left, expected + 2);
    EXPECT_GE(left, expected - 60);
    // The test's CA is in no store: the chain does not verify, and says why.
    EXPECT_EQ(cells["11." + row], "INTEGER: 2");
    EXPECT_NE(cells["13." + row].find("local issuer"), std::string::npos) << cells["13." + row];
    // The alias is served the first host's certificate, made for another
    // name: a finding, not a failure.
    EXPECT_EQ(cells["12." + row], name == "www.short.test" ? "INTEGER: 2" : "INTEGER: 1");
  }
  // Two days and ninety, apart.
  EXPECT_LT(std::stoll(cells["10." + shortRow].substr(9)), 2 * 86400 + 60);
  EXPECT_GT(std::stoll(cells["10." + longRow].substr(9)), 89 * 86400);
}

} // namespace
