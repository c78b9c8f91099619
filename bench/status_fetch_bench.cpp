// The agent's CPU for one status-page fetch and parse of a real Apache 2.4:
// over plain HTTP, over HTTPS resuming the session of the fetch before, and
// over HTTPS with nothing kept (a new TLS context, its CA loaded, and a full
// handshake each time). The Apache runs on 127.0.0.1 with a plain port and a
// TLS port, its certificate made by the openssl tool; all is removed after.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collect/pages/fetch_page.h"
#include "collect/pages/http_answer.h"
#include "collect/pages/server_status.h"
#include "config/server_list.h"
#include "pluginlib/base64.h"
#include "tests/support/fake_varnock.h"

namespace {

constexpr char kUser[] = "monitor";
constexpr char kPassword[] = "bench-secret";
constexpr char kMods[] = "/usr/lib/apache2/modules/";

// One private Apache, started on first use and stopped at exit.
struct Apache {
  std::string dir;
  int port = 0;
  int tls_port = 0;
  bool up = false;

  Apache() {
    char pattern[] = "/tmp/ostrik-status-fetch-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      return;
    }
    dir = pattern;
    port = 20000 + static_cast<int>(getpid() % 20000);
    tls_port = port + 1;
    const std::string script =
        std::string(OSTRIK_BENCH_DATA_DIR) + "/../../scripts/apache-instance.sh";
    const std::string pki = dir + "/pki";
    const std::string extra = dir + "/tls.conf";
    const std::string commands =
        "set -e; mkdir -p " + pki + "; cd " + pki + "\n" +
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key "
        "-out ca.pem -days 2 -subj /CN=bench-ca 2>/dev/null\n"
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key "
        "-out server.csr -subj /CN=localhost 2>/dev/null\n"
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext\n"
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out server.pem -days 2 -extfile san.ext 2>/dev/null\n"
        "chmod 755 " +
        dir + " " + pki + "; chmod 644 *\n" + "cat > " + extra + " <<EOF\n" +
        "LoadModule socache_shmcb_module " + kMods + "mod_socache_shmcb.so\n" +
        "LoadModule ssl_module " + kMods + "mod_ssl.so\n" +
        "SSLSessionCache shmcb:run/ssl_scache(512000)\n" +
        "Listen 127.0.0.1:" + std::to_string(tls_port) + "\n" +
        "<VirtualHost 127.0.0.1:" + std::to_string(tls_port) + ">\n" +
        "SSLEngine on\nSSLCertificateFile " + pki + "/server.pem\n" + "SSLCertificateKeyFile " +
        pki + "/server.key\n</VirtualHost>\nEOF\n" + "bash " + script + " setup " + dir +
        "/apache " + std::to_string(port) + " " + kUser + " " + kPassword + " " + extra + "\n" +
        "bash " + script + " start " + dir + "/apache\n";
    up = std::system(commands.c_str()) == 0;
  }
  ~Apache() {
    if (!dir.empty()) {
      const std::string script =
          std::string(OSTRIK_BENCH_DATA_DIR) + "/../../scripts/apache-instance.sh";
      std::system(("bash " + script + " stop " + dir + "/apache; rm -rf " + dir).c_str());
    }
  }
};

Apache &apache() {
  static Apache instance;
  return instance;
}

// One fetch of the status page into entry, parsed as the refresh parses it.
bool fetch_status(ServerEntry *entry) {
  PageFetches fetches(1);
  fetches.add(entry, "/server-status?auto");
  fetches.run();
  const char *answer = nullptr;
  FetchEnd end = FETCH_NOT_SENT;
  const int received = fetches.take(0, &answer, &end);
  int32_t code = 0;
  if (fetch_outcome(received, answer, end, &code) != PAGE_OK) {
    return false;
  }
  parse_server_status(entry, answer);
  return true;
}

// The entry of a "server" line for the plain or the TLS port.
void run(benchmark::State &state, bool https, bool keep_session) {
  Apache &a = apache();
  if (!a.up) {
    state.SkipWithError("Apache did not start");
    return;
  }
  fake_varnock::reset();
  ServerEntry entry{};
  entry.port = https ? a.tls_port : a.port;
  const std::string pair = std::string(kUser) + ":" + kPassword;
  base64_encode(entry.credentials, pair.c_str());
  entry.reach.scheme = https ? SCHEME_HTTPS : SCHEME_HTTP;
  entry.reach.timeout = 10;
  platform_parse_address("127.0.0.1", &entry.reach.address);
  std::snprintf(entry.reach.host, sizeof entry.reach.host, "%s", https ? "localhost" : "127.0.0.1");
  std::snprintf(entry.reach.ca, sizeof entry.reach.ca, "%s/pki/ca.pem", a.dir.c_str());
  if (!fetch_status(&entry)) { // the first: a session to resume, and a check
    state.SkipWithError("no status page");
    tls_state_free(entry.tls);
    return;
  }
  fake_varnock::clear_log();
  for (auto _ : state) {
    if (!keep_session) {
      tls_state_free(entry.tls);
      entry.tls = nullptr;
    }
    if (!fetch_status(&entry)) {
      state.SkipWithError("a fetch failed");
      break;
    }
  }
  // The share of the handshakes that resumed a session.
  if (https) {
    double resumed = 0;
    double handshakes = 0;
    for (const fake_varnock::LogLine &line : fake_varnock::log()) {
      handshakes += line.text.find(", session ") != std::string::npos ? 1 : 0;
      resumed += line.text.find(", session resumed") != std::string::npos ? 1 : 0;
    }
    state.counters["resumed"] = handshakes > 0 ? resumed / handshakes : 0;
  }
  tls_state_free(entry.tls);
}

void BM_StatusFetchHttp(benchmark::State &state) { run(state, false, true); }
void BM_StatusFetchHttpsResumed(benchmark::State &state) { run(state, true, true); }
void BM_StatusFetchHttpsFull(benchmark::State &state) { run(state, true, false); }

} // namespace

BENCHMARK(BM_StatusFetchHttp)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusFetchHttpsResumed)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusFetchHttpsFull)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
