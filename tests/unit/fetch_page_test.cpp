// fetch_page and the socket routines against real TCP servers on 127.0.0.1.
#include "collect/pages/fetch_page.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "pluginlib/socket.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::ScriptChunk;
using testsupport::ScriptedServer;
using Clock = std::chrono::steady_clock;

constexpr char kCredentials[] = "dXNlcjpwYXNz"; // user:pass
constexpr char kStatusPath[] = "/server-status?auto";
constexpr int kMiB = 1024 * 1024;

// Bytes that differ with their position, so that a lost or moved chunk shows.
std::string pattern(size_t length) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  }
  return s;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<fake_varnock::LogLine> lines_at(int level) {
  std::vector<fake_varnock::LogLine> out;
  for (const auto &line : fake_varnock::log()) {
    if (line.level == level) {
      out.push_back(line);
    }
  }
  return out;
}

// True when sock is connected within ms milliseconds.
bool poll_writable(int sock, int ms) {
  pollfd p{sock, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  return poll(&p, 1, ms) == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
         error == 0;
}

class FetchPage : public ::testing::Test {
protected:
  void SetUp() override {
    fake_varnock::reset();
    fetch_page_set_receive_timeout(0);
  }
  void TearDown() override {
    fetch_page_set_receive_timeout(0);
    std::free(page_);
  }

  int fetch(int port, const char *path = kStatusPath, const char *host = "127.0.0.1") {
    return fetch_page(host, static_cast<uint16_t>(port), path, kCredentials, &page_);
  }

  char *page_ = nullptr;
};

TEST_F(FetchPage, ReturnsTheWholeAnswerAndSendsTheExactRequest) {
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nTotal Accesses: 3\n";
  ScriptedServer server(ScriptedServer::whole(answer));
  ASSERT_EQ(fetch(server.port()), static_cast<int>(answer.size()));
  ASSERT_NE(page_, nullptr);
  EXPECT_EQ(std::string(page_), answer);

  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /server-status?auto HTTP/1.0\r\n"
                                  "Authorization: Basic dXNlcjpwYXNz\r\n"
                                  "User-Agent: varnock-ostrik\r\n"
                                  "Accept: */*\r\n"
                                  "\r\n");
}

TEST_F(FetchPage, TracesTheRequestWithoutTheCredentials) {
  ScriptedServer server(ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\n"));
  ASSERT_GT(fetch(server.port()), 0);
  const std::string sent = "GET /server-status?auto HTTP/1.0\r\n"
                           "Authorization: Basic dXNlcjpwYXNz\r\n"
                           "User-Agent: varnock-ostrik\r\n"
                           "Accept: */*\r\n"
                           "\r\n";
  const std::vector<std::string> expected = {
      "ostrik: fetch_page: fetching url /server-status?auto\n",
      "ostrik: fetch_page: contact webserver 127.0.0.1:" + std::to_string(server.port()) + "\n",
      "ostrik: fetch_page: connected to server 127.0.0.1, 100007f\n",
      "ostrik: fetch_page: sending request " + std::to_string(sent.size()) + " bytes\n",
      "GET /server-status?auto HTTP/1.0\r\n"
      "Authorization: Basic <hidden>\r\n"
      "User-Agent: varnock-ostrik\r\n"
      "Accept: */*\r\n"
      "\r\n\n",
  };
  std::vector<std::string> logged;
  for (const auto &line : fake_varnock::log()) {
    EXPECT_EQ(line.level, VARNOCK_LOG_DEBUG) << line.text;
    EXPECT_EQ(line.text.find(kCredentials), std::string::npos) << "credentials in the log";
    logged.push_back(line.text);
  }
  EXPECT_EQ(logged, expected);
}

TEST_F(FetchPage, ServerClosingWithoutAByteLeavesThePointerAlone) {
  ScriptedServer server({});
  EXPECT_EQ(fetch(server.port()), 0);
  EXPECT_EQ(page_, nullptr);

  // A block the caller already holds stays as it was, too.
  page_ = static_cast<char *>(std::malloc(16));
  std::strcpy(page_, "earlier");
  char *const before = page_;
  ScriptedServer again({});
  EXPECT_EQ(fetch(again.port()), 0);
  EXPECT_EQ(page_, before);
  EXPECT_STREQ(page_, "earlier");
}

TEST_F(FetchPage, UnauthorizedAnswerIsReturnedWhole) {
  const std::string answer = "HTTP/1.1 401 Unauthorized\r\n"
                             "WWW-Authenticate: Basic realm=\"status\"\r\n"
                             "Content-Length: 20\r\n\r\n"
                             "<html>denied</html>\n";
  ScriptedServer server(ScriptedServer::whole(answer));
  EXPECT_EQ(fetch(server.port()), static_cast<int>(answer.size()));
  EXPECT_EQ(std::string(page_), answer);
}

TEST_F(FetchPage, LongPageInManyChunksArrivesWholeAndInOrder) {
  const std::string body = pattern(700 * 1000);
  std::vector<ScriptChunk> chunks;
  // Uneven chunks with pauses, so the client sees many partial receives,
  // some larger than its receive buffer.
  const size_t sizes[] = {1, 4096, 150000, 333, 65536, 200000};
  size_t at = 0;
  for (int i = 0; at < body.size(); ++i) {
    const size_t n = std::min(sizes[i % 6], body.size() - at);
    chunks.push_back({body.substr(at, n), i % 3 == 0 ? 30 : 0});
    at += n;
  }
  ScriptedServer server(chunks);
  ASSERT_EQ(fetch(server.port()), static_cast<int>(body.size()));
  ASSERT_EQ(std::strlen(page_), body.size());
  EXPECT_TRUE(std::string(page_) == body) << "page differs from what the server sent";
  // The block grew by doubling, and gave back what the page did not use.
  EXPECT_LT(malloc_usable_size(page_), body.size() + 1 + 4096);
}

TEST_F(FetchPage, ReusedBufferHoldsTheNewPageFromItsStart) {
  const std::string longer(5000, 'Z');
  page_ = static_cast<char *>(std::malloc(longer.size() + 1));
  std::memcpy(page_, longer.c_str(), longer.size() + 1);
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nshort";
  ScriptedServer server(ScriptedServer::whole(answer));
  EXPECT_EQ(fetch(server.port()), static_cast<int>(answer.size()));
  EXPECT_EQ(std::string(page_), answer);
}

TEST_F(FetchPage, NothingListeningLogsTheAddressInNetworkOrder) {
  const int port = testsupport::free_tcp_port();
  EXPECT_EQ(fetch(port), -1);
  EXPECT_EQ(page_, nullptr);
  const auto warnings = lines_at(VARNOCK_LOG_WARNING);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text, "ostrik: fetch_page: failed to connect to HTTP server "
                              "127.0.0.1:serverip:" +
                                  std::to_string(htonl(INADDR_LOOPBACK)) +
                                  ":port:" + std::to_string(htons(static_cast<uint16_t>(port))) +
                                  ":errno:" + std::to_string(ECONNREFUSED) + "\n");
}

// A server that has stopped accepting: once its listen queue is full, the
// system drops further connection requests, and connect would wait minutes.
TEST_F(FetchPage, ConnectionThatIsNeverMadeGetsTheReceiveTimeOut) {
  fetch_page_set_receive_timeout(1);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length), 0);
  // Fill the queue: connections are made until one no longer is.
  std::vector<int> queued;
  for (bool made = true; made && queued.size() < 64;) {
    queued.push_back(get_tcp_socket());
    const int begun =
        platform_connect_ipv4_begin(queued.back(), addr.sin_addr.s_addr, addr.sin_port);
    made = begun == 0 || (begun > 0 && poll_writable(queued.back(), 200));
  }
  ScriptedServer good(ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\nUptime: 1\n"));
  PageFetches fetches(2);
  fetches.add("127.0.0.1", ntohs(addr.sin_port), kStatusPath, kCredentials);
  fetches.add("127.0.0.1", static_cast<uint16_t>(good.port()), kStatusPath, kCredentials);
  const auto start = Clock::now();
  fetches.run();
  EXPECT_LT(seconds_since(start), 2.5);
  const char *page = nullptr;
  FetchEnd end = FETCH_CLOSED;
  EXPECT_EQ(fetches.take(0, &page, &end), -1);
  EXPECT_EQ(end, FETCH_NOT_SENT);
  const auto warnings = lines_at(VARNOCK_LOG_WARNING);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find(":errno:" + std::to_string(ETIMEDOUT) + "\n"), std::string::npos)
      << warnings[0].text;
  EXPECT_GT(fetches.take(1, &page, &end), 0) << "the other server is read all the same";
  EXPECT_EQ(end, FETCH_CLOSED);
  for (int sock : queued) {
    close(sock);
  }
  close(listener);
}

TEST_F(FetchPage, UnknownHostLogsOnlyTheFirstTwoLines) {
  EXPECT_EQ(fetch(80, kStatusPath, "no-such-host.invalid"), -1);
  ASSERT_EQ(fake_varnock::log().size(), 2u);
  EXPECT_EQ(fake_varnock::log()[0].text, "ostrik: fetch_page: fetching url /server-status?auto\n");
  EXPECT_EQ(fake_varnock::log()[1].text,
            "ostrik: fetch_page: contact webserver no-such-host.invalid:80\n");
}

TEST_F(FetchPage, AllOnesAddressIsLookedUpAsAName) {
  // inet-style conversion cannot tell "255.255.255.255" from a bad text, so
  // the name lookup decides; either way no page can come from there.
  EXPECT_EQ(fetch(80, kStatusPath, "255.255.255.255"), -1);
  for (const auto &line : lines_at(VARNOCK_LOG_WARNING)) {
    EXPECT_NE(line.text.find(":serverip:4294967295:port:20480:"), std::string::npos) << line.text;
  }
  EXPECT_EQ(page_, nullptr);
}

TEST_F(FetchPage, HostNameIsResolved) {
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nby name";
  ScriptedServer server(ScriptedServer::whole(answer));
  EXPECT_EQ(fetch(server.port(), kStatusPath, "localhost"), static_cast<int>(answer.size()));
  EXPECT_EQ(std::string(page_), answer);
}

TEST_F(FetchPage, NullArgumentsAreRefused) {
  char *page = nullptr;
  const struct {
    const char *host, *path, *credentials;
    char **page;
  } cases[] = {
      {nullptr, "/", "c", &page},
      {"127.0.0.1", nullptr, "c", &page},
      {"127.0.0.1", "/", nullptr, &page},
      {"127.0.0.1", "/", "c", nullptr},
  };
  for (const auto &c : cases) {
    fake_varnock::clear_log();
    EXPECT_EQ(fetch_page(c.host, 80, c.path, c.credentials, c.page), -1);
    ASSERT_EQ(fake_varnock::log().size(), 1u);
    EXPECT_EQ(fake_varnock::log()[0].level, VARNOCK_LOG_DEBUG);
    EXPECT_EQ(fake_varnock::log()[0].text, "ostrik: fetch_page: bogus args\n");
  }
  EXPECT_EQ(page, nullptr);
}

TEST_F(FetchPage, PartOfAPageIsReturnedAfterTheServerFallsSilent) {
  fetch_page_set_receive_timeout(1);
  const std::string part = "HTTP/1.0 200 OK\r\n\r\nTotal Acc";
  ScriptedServer server(ScriptedServer::whole(part), ScriptedServer::End::Silent);
  const auto start = Clock::now();
  EXPECT_EQ(fetch(server.port()), static_cast<int>(part.size()));
  EXPECT_GE(seconds_since(start), 0.9);
  EXPECT_EQ(std::string(page_), part);
  // fetch_page closed its end: the silent server sees the client go.
  EXPECT_TRUE(server.wait_served(1, 5.0));
}

TEST_F(FetchPage, ReadErrorEndsThePageWithWhatArrived) {
  const std::string part = "HTTP/1.0 200 OK\r\n\r\nhalf";
  ScriptedServer server({{part, 0}, {"", 300}}, ScriptedServer::End::Reset);
  EXPECT_EQ(fetch(server.port()), static_cast<int>(part.size()));
  EXPECT_EQ(std::string(page_), part);
}

TEST_F(FetchPage, ClientKeepsAtMost16MiBAndSaysSo) {
  const std::string body = pattern(FETCH_PAGE_MAX_BYTES + 3 * kMiB);
  std::vector<ScriptChunk> chunks;
  for (size_t at = 0; at < body.size(); at += kMiB) {
    chunks.push_back({body.substr(at, kMiB), 0});
  }
  ScriptedServer server(chunks);
  ASSERT_EQ(fetch(server.port()), FETCH_PAGE_MAX_BYTES);
  EXPECT_EQ(std::strlen(page_), static_cast<size_t>(FETCH_PAGE_MAX_BYTES));
  EXPECT_EQ(std::memcmp(page_, body.data(), FETCH_PAGE_MAX_BYTES), 0);
  const auto warnings = lines_at(VARNOCK_LOG_WARNING);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text,
            "ostrik: fetch_page: page from 127.0.0.1:" + std::to_string(server.port()) +
                " exceeds 16 MiB, connection closed\n");
  // The client hung up instead of reading the rest.
  EXPECT_TRUE(server.wait_served(1, 10.0));
}

TEST_F(FetchPage, PageOfExactly16MiBIsNoOverrun) {
  const std::string body = pattern(FETCH_PAGE_MAX_BYTES);
  std::vector<ScriptChunk> chunks;
  for (size_t at = 0; at < body.size(); at += kMiB) {
    chunks.push_back({body.substr(at, kMiB), 0});
  }
  ScriptedServer server(chunks);
  ASSERT_EQ(fetch(server.port()), FETCH_PAGE_MAX_BYTES);
  EXPECT_EQ(std::memcmp(page_, body.data(), FETCH_PAGE_MAX_BYTES), 0);
  EXPECT_TRUE(lines_at(VARNOCK_LOG_WARNING).empty());
}

#if !defined(__SANITIZE_ADDRESS__)
// One allocator arena for every thread of this program: otherwise the arenas
// of earlier server threads hold reserved address space that a growing page
// could use in spite of the limit below.
const int kOneArena = mallopt(M_ARENA_MAX, 1);

// Memory runs out part-way: what arrived before is kept and returned. The
// fetch runs in a child process with a small address-space limit; the
// server runs here.
TEST_F(FetchPage, BufferThatCannotGrowKeepsWhatArrived) {
  const std::string body = pattern(FETCH_PAGE_MAX_BYTES);
  std::vector<ScriptChunk> chunks;
  for (size_t at = 0; at < body.size(); at += kMiB) {
    chunks.push_back({body.substr(at, kMiB), 0});
  }
  ScriptedServer server(chunks);
  ASSERT_EQ(kOneArena, 1);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fake_varnock::reset();
    // Memory that earlier tests freed but the allocator kept would let the
    // page grow past the limit: hand it back and keep large blocks mapped
    // (the single arena, see kOneArena, holds all of it).
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * kMiB);
    malloc_trim(0);
    long pages = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) {
      _exit(10);
    }
    std::fclose(statm);
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + 6 * kMiB;
    const rlimit rl{limit, limit};
    // Room in the arena for the small blocks that the log lines take once
    // the page has used up the limit (the trim threshold above keeps it).
    std::vector<void *> reserve(256);
    for (void *&block : reserve)
      block = std::malloc(1024);
    if (setrlimit(RLIMIT_AS, &rl) != 0) {
      _exit(11);
    }
    for (void *block : reserve)
      std::free(block);
    char *page = nullptr;
    const int n = fetch_page("127.0.0.1", static_cast<uint16_t>(server.port()), "/", "c", &page);
    if (n <= 0 || n >= FETCH_PAGE_MAX_BYTES) {
      _exit(12);
    }
    if (std::strlen(page) != static_cast<size_t>(n) || std::memcmp(page, body.data(), n) != 0) {
      _exit(13);
    }
    const auto errors = lines_at(VARNOCK_LOG_ERR);
    if (errors.size() != 1 ||
        errors[0].text !=
            "ostrik: fetch_page: realloc of page buffer failed " + std::to_string(ENOMEM) + "\n") {
      _exit(14);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "10/11: set-up failed, 12: wrong length, 13: wrong content, 14: wrong log";
}
#endif

// --- receive_socket_data ---------------------------------------------------

// A connected pair over loopback TCP: client() is ours, peer() the server's.
class TcpPair {
public:
  TcpPair() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length);
    client_ = get_tcp_socket();
    EXPECT_EQ(connect_to_server(client_, addr.sin_addr.s_addr, addr.sin_port), 0);
    peer_ = accept(listener, nullptr, nullptr);
    close(listener);
  }
  ~TcpPair() {
    close_client();
    close_peer();
  }
  int client() const { return client_; }
  int peer() const { return peer_; }
  void close_peer() {
    if (peer_ >= 0) {
      close(peer_);
      peer_ = -1;
    }
  }
  void close_client() {
    if (client_ >= 0) {
      close(client_);
      client_ = -1;
    }
  }
  // Moves our end to descriptor number fd.
  void move_client_to(int fd) {
    ASSERT_EQ(dup2(client_, fd), fd);
    close(client_);
    client_ = fd;
  }

private:
  int client_ = -1;
  int peer_ = -1;
};

TEST(ReceiveSocketData, InvalidArgumentsAreRefused) {
  TcpPair pair;
  char buffer[8];
  const struct {
    char *buffer;
    int size;
  } cases[] = {{nullptr, 8}, {buffer, 0}, {buffer, -1}};
  for (const auto &c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(receive_socket_data(pair.client(), c.buffer, c.size, 1), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "receive_socket_data: invalid argument\n");
  }
}

TEST(ReceiveSocketData, ReceivesAtMostSizeBytes) {
  TcpPair pair;
  ASSERT_EQ(send(pair.peer(), "abcdef", 6, 0), 6);
  char buffer[8] = {};
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, 4, 5), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, 8, 5), 2);
  EXPECT_EQ(std::string(buffer, 2), "ef");
}

TEST(ReceiveSocketData, NoDataWithinTheTimeOutGivesZero) {
  TcpPair pair;
  char buffer[8];
  const auto start = Clock::now();
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, sizeof buffer, 1), 0);
  const double waited = seconds_since(start);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 5.0);
}

TEST(ReceiveSocketData, PeerCloseGivesZero) {
  TcpPair pair;
  pair.close_peer();
  char buffer[8];
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, sizeof buffer, 5), 0);
}

TEST(ReceiveSocketData, ResetConnectionIsAReadError) {
  TcpPair pair;
  const linger l{1, 0};
  setsockopt(pair.peer(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  pair.close_peer();
  char buffer[8];
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, sizeof buffer, 5), -1);
}

TEST(ReceiveSocketData, InvalidSocketFailsTheWaitAtOnce) {
  char buffer[8];
  const auto start = Clock::now();
  EXPECT_EQ(receive_socket_data(PLATFORM_INVALID_SOCKET, buffer, sizeof buffer, 5), 0);
  EXPECT_LT(seconds_since(start), 1.0);
}

TEST(ReceiveSocketData, DescriptorBeyondTheSelectLimitWorks) {
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  const int high = FD_SETSIZE + 100;
  if (rl.rlim_cur <= static_cast<rlim_t>(high)) {
    if (rl.rlim_max <= static_cast<rlim_t>(high)) {
      GTEST_SKIP() << "descriptor limit too low";
    }
    rl.rlim_cur = high + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
  }
  TcpPair pair;
  pair.move_client_to(high);
  char buffer[8] = {};
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, sizeof buffer, 1), 0);
  ASSERT_EQ(send(pair.peer(), "hi", 2, 0), 2);
  EXPECT_EQ(receive_socket_data(pair.client(), buffer, sizeof buffer, 5), 2);
  EXPECT_EQ(std::string(buffer, 2), "hi");
}

} // namespace
