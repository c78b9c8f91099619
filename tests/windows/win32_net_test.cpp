// fetch_page over Windows Sockets 1.1, against a small server on a thread of
// this test: whole pages in several receives, the request as sent, a server
// that closes at once or goes silent, and a port where nothing listens.
#include <winsock.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "platform/net.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/process.h"

namespace {

// Accepts one client on 127.0.0.1, reads its request up to the empty line,
// sends the answer, then closes or (silent) waits for the client to close.
class OneShotServer {
public:
  OneShotServer(std::string answer, bool silent = false)
      : answer_(std::move(answer)), silent_(silent) {
    listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    int length = sizeof addr;
    if (listen_ == INVALID_SOCKET ||
        bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) || listen(listen_, 1) ||
        getsockname(listen_, reinterpret_cast<sockaddr *>(&addr), &length)) {
      ADD_FAILURE() << "server socket: " << WSAGetLastError();
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = CreateThread(nullptr, 0, &OneShotServer::run, this, 0, nullptr);
  }
  ~OneShotServer() {
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, 30000);
      CloseHandle(thread_);
    }
    closesocket(listen_);
  }
  uint16_t port() const { return port_; }
  // Valid once the client has been served (after fetch_page returned).
  const std::string &request() const { return request_; }

private:
  static DWORD WINAPI run(void *self) {
    static_cast<OneShotServer *>(self)->serve();
    return 0;
  }
  void serve() {
    const SOCKET client = accept(listen_, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
      return;
    }
    char buffer[4096];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      const int n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) {
        break;
      }
      request_.append(buffer, static_cast<size_t>(n));
    }
    size_t sent = 0;
    while (sent < answer_.size()) {
      const int n = send(client, answer_.data() + sent, static_cast<int>(answer_.size() - sent), 0);
      if (n <= 0) {
        break;
      }
      sent += static_cast<size_t>(n);
    }
    if (silent_) {
      while (recv(client, buffer, sizeof buffer, 0) > 0) {
      }
    }
    closesocket(client);
  }

  std::string answer_;
  bool silent_;
  SOCKET listen_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  HANDLE thread_ = nullptr;
  std::string request_;
};

class Win32FetchPage : public ::testing::Test {
protected:
  // The agent's process starts the socket library; the module never does.
  static void SetUpTestSuite() {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  }
  static void TearDownTestSuite() { WSACleanup(); }
  void SetUp() override { fake_varnock::reset(); }
  void TearDown() override {
    std::free(page_);
    fetch_page_set_receive_timeout(0);
  }
  char *page_ = nullptr;
};

TEST_F(Win32FetchPage, ReceivesAWholePageInSeveralReceives) {
  std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
  for (int i = 0; answer.size() < 300000; ++i) {
    answer += "line " + std::to_string(i) + "\n";
  }
  OneShotServer server(answer);
  const int got = fetch_page("127.0.0.1", server.port(), "/server-status?auto", "dTpw", &page_);
  ASSERT_EQ(got, static_cast<int>(answer.size()));
  EXPECT_EQ(std::string(page_), answer);
  EXPECT_EQ(server.request(), "GET /server-status?auto HTTP/1.0\r\n"
                              "Authorization: Basic dTpw\r\n"
                              "User-Agent: varnock-ostrik\r\n"
                              "Accept: */*\r\n"
                              "\r\n");
}

TEST_F(Win32FetchPage, AServerThatClosesAtOnceGivesNothing) {
  OneShotServer server("");
  EXPECT_EQ(fetch_page("127.0.0.1", server.port(), "/server-info", "dTpw", &page_), 0);
  EXPECT_EQ(page_, nullptr);
}

TEST_F(Win32FetchPage, ASilentServerEndsThePageAtTheTimeOut) {
  fetch_page_set_receive_timeout(1);
  OneShotServer server("HTTP/1.0 200 OK\r\n\r\npart", true);
  EXPECT_EQ(fetch_page("127.0.0.1", server.port(), "/server-info", "dTpw", &page_), 23);
  EXPECT_STREQ(page_, "HTTP/1.0 200 OK\r\n\r\npart");
}

// The connection is refused: the level-4 line carries the address and port
// as stored (network order read as numbers) and Winsock's error number.
TEST_F(Win32FetchPage, NothingListeningIsReportedWithWinsocksError) {
  const uint16_t port = static_cast<uint16_t>(testsupport::free_tcp_port());
  EXPECT_EQ(fetch_page("127.0.0.1", port, "/server-info", "dTpw", &page_), -1);
  const std::string expected = "ostrik: fetch_page: failed to connect to HTTP server "
                               "127.0.0.1:serverip:16777343:port:" +
                               std::to_string(htons(port)) + ":errno:10061\n";
  bool found = false;
  for (const auto &line : fake_varnock::log()) {
    found = found || (line.level == VARNOCK_LOG_WARNING && line.text == expected);
  }
  EXPECT_TRUE(found) << expected;
}

TEST_F(Win32FetchPage, HostNamesAreLookedUp) {
  OneShotServer server("HTTP/1.0 200 OK\r\n\r\nhello");
  EXPECT_EQ(fetch_page("localhost", server.port(), "/", "dTpw", &page_), 24);
  EXPECT_EQ(fetch_page("no-such-host.invalid", server.port(), "/", "dTpw", &page_), -1);
}

// A refresh waits on every server's socket at once: more sockets than a
// Windows fd_set declares (FD_SETSIZE, 64), and only the one with data is
// reported readable.
TEST_F(Win32FetchPage, WaitsOnMoreSocketsThanAnFdSetDeclares) {
  constexpr int kSockets = FD_SETSIZE + 6;
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  int length = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, SOMAXCONN), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length), 0);
  std::vector<PlatformSocket> clients;
  std::vector<SOCKET> peers;
  for (int i = 0; i < kSockets; ++i) {
    clients.push_back(platform_tcp_socket());
    ASSERT_EQ(platform_connect_ipv4(clients.back(), addr.sin_addr.s_addr, addr.sin_port), 0);
    peers.push_back(accept(listener, nullptr, nullptr));
    ASSERT_NE(peers.back(), INVALID_SOCKET);
  }
  std::vector<unsigned char> ready(kSockets, 1);
  EXPECT_EQ(platform_wait_any(clients.data(), nullptr, kSockets, 100, ready.data()),
            PLATFORM_WAIT_TIMEOUT);
  ASSERT_EQ(send(peers.back(), "x", 1, 0), 1);
  ASSERT_EQ(platform_wait_any(clients.data(), nullptr, kSockets, 5000, ready.data()),
            PLATFORM_WAIT_READY);
  int readable = 0;
  char byte = 0;
  for (int i = 0; i < kSockets; ++i) {
    if (ready[i] != 0) {
      ++readable;
      EXPECT_EQ(platform_recv(clients[i], &byte, 1), 1);
    }
  }
  EXPECT_EQ(readable, 1);
  EXPECT_EQ(byte, 'x');
  for (int i = 0; i < kSockets; ++i) {
    platform_close_socket(clients[i]);
    closesocket(peers[i]);
  }
  closesocket(listener);
}

// Windows Sockets 1.1 reaches IPv4 only: an IPv6 address is told apart as
// one this build cannot reach, and loopback addresses are this machine's.
TEST(Win32Address, Ipv4OnlyAndLoopbackIsLocal) {
  PlatformAddress a;
  ASSERT_EQ(platform_parse_address("127.0.0.2", &a), 0);
  EXPECT_TRUE(platform_address_is_local(&a));
  EXPECT_EQ(platform_parse_address("::1", &a), -2);
  EXPECT_EQ(platform_parse_address("127.1", &a), -1);
  EXPECT_EQ(platform_parse_address("256.0.0.1", &a), -1);
  ASSERT_EQ(platform_parse_address("198.51.100.7", &a), 0);
  EXPECT_FALSE(platform_address_is_local(&a));
  a.family = PLATFORM_IPV6;
  EXPECT_EQ(platform_tcp_socket_for(&a), PLATFORM_INVALID_SOCKET);
}

} // namespace
