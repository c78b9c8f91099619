#include "collect/fetch_page.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pluginlib/socket.h"
#include "varnock.h"

namespace {

constexpr int kReceiveBufferSize = 128000;
constexpr int kRequestSize = 1024;

// Every receive of fetch_page lands here first; the contents mean nothing
// between calls.
char receive_buffer[kReceiveBufferSize];

int receive_timeout = FETCH_PAGE_RECEIVE_TIMEOUT;

// Closes the socket when fetch_page returns, whichever way.
class SocketGuard {
public:
  explicit SocketGuard(PlatformSocket sock) : sock_(sock) {}
  ~SocketGuard() { platform_close_socket(sock_); }
  SocketGuard(const SocketGuard &) = delete;
  SocketGuard &operator=(const SocketGuard &) = delete;

private:
  PlatformSocket sock_;
};

// The request as sent, with the credentials in the Authorization line, or
// for the debug log with "<hidden>" in their place. Its length, or -1 when
// it does not fit the buffer.
int compose_request(char *buffer, const char *path, const char *credentials) {
  const int length = std::snprintf(buffer, kRequestSize,
                                   "GET %s HTTP/1.0\r\n"
                                   "Authorization: Basic %s\r\n"
                                   "User-Agent: varnock-ostrik\r\n"
                                   "Accept: */*\r\n"
                                   "\r\n",
                                   path, credentials);
  return length < 0 || length >= kRequestSize ? -1 : length;
}

void log_cut_off(const char *host, uint16_t port) {
  VarnockSyslog(4,
                "ostrik: fetch_page: answer from %s:%u took over %d seconds, connection closed\n",
                host, static_cast<unsigned>(port), receive_timeout);
}

} // namespace

void fetch_page_set_receive_timeout(int seconds) {
  receive_timeout = seconds > 0 ? seconds : FETCH_PAGE_RECEIVE_TIMEOUT;
}

int fetch_page(const char *host, uint16_t port, const char *path, const char *credentials,
               char **page) {
  return fetch_page_ending(host, port, path, credentials, page, nullptr);
}

int fetch_page_ending(const char *host, uint16_t port, const char *path, const char *credentials,
                      char **page, enum FetchEnd *end) {
  FetchEnd ignored = FETCH_NOT_SENT;
  FetchEnd &ending = end != nullptr ? *end : ignored;
  ending = FETCH_NOT_SENT;
  if (host == nullptr || path == nullptr || credentials == nullptr || page == nullptr) {
    VarnockSyslog(7, "ostrik: fetch_page: bogus args\n");
    return -1;
  }
  VarnockSyslog(7, "ostrik: fetch_page: fetching url %s\n", path);
  VarnockSyslog(7, "ostrik: fetch_page: contact webserver %s:%d\n", host, static_cast<int>(port));

  uint32_t address = platform_inet_addr(host);
  if (address == PLATFORM_INADDR_NONE && platform_resolve_ipv4(host, &address) != 0) {
    return -1;
  }

  const PlatformSocket sock = get_tcp_socket();
  if (sock == PLATFORM_INVALID_SOCKET) {
    return -1;
  }
  SocketGuard guard(sock);

  const uint16_t net_port = platform_htons(port);
  if (connect_to_server(sock, address, net_port) < 0) {
    const int error = platform_socket_error();
    VarnockSyslog(4,
                  "ostrik: fetch_page: failed to connect to HTTP server "
                  "%s:serverip:%u:port:%u:errno:%d\n",
                  host, static_cast<unsigned>(address), static_cast<unsigned>(net_port), error);
    return -1;
  }
  VarnockSyslog(7, "ostrik: fetch_page: connected to server %s, %lx\n", host,
                static_cast<unsigned long>(address));

  char request[kRequestSize];
  const int request_length = compose_request(request, path, credentials);
  if (request_length < 0) {
    VarnockSyslog(4, "ostrik: fetch_page: request for %.200s too long\n", path);
    return -1;
  }
  // The trace shows the request without the credentials: a log file is no
  // place for a password.
  char shown[kRequestSize];
  if (compose_request(shown, path, "<hidden>") < 0) {
    shown[0] = '\0';
  }
  VarnockSyslog(7, "ostrik: fetch_page: sending request %d bytes\n", request_length);
  VarnockSyslog(7, "%s\n", shown);

  if (platform_send(sock, request, static_cast<size_t>(request_length)) < 0) {
    VarnockSyslog(4, "ostrik: fetch_page: send of HTTP request failed\n");
    return -1;
  }

  // The whole answer must arrive within the receive time-out of the request.
  // A server that sends a byte now and then would otherwise keep the agent,
  // which answers nothing while it waits here, for as long as it likes.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(receive_timeout);
  int total = 0;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      log_cut_off(host, port);
      ending = FETCH_TIMED_OUT;
      break;
    }
    const int wait = left < receive_timeout ? static_cast<int>(left) : receive_timeout;
    const int room = FETCH_PAGE_MAX_BYTES - total;
    // The wait and the receive of receive_socket_data, taken apart: a close
    // and a silence both give it 0, and only the close ends a whole answer.
    const PlatformWait ready = platform_wait_readable(sock, wait);
    if (ready != PLATFORM_WAIT_READY) {
      if (ready == PLATFORM_WAIT_ERROR) {
        ending = FETCH_READ_FAILED;
      } else {
        ending = FETCH_TIMED_OUT;
        // A wait cut short by the deadline that ran out: the server was
        // still sending when its time was up.
        if (room > 0 && wait < receive_timeout && Clock::now() >= deadline) {
          log_cut_off(host, port);
        }
      }
      break;
    }
    if (room == 0) {
      // The page is full. Only a server that has more to send is told so.
      const long more = platform_recv(sock, receive_buffer, 1);
      if (more > 0) {
        VarnockSyslog(4, "ostrik: fetch_page: page from %s:%u exceeds 16 MiB, connection closed\n",
                      host, static_cast<unsigned>(port));
        ending = FETCH_TOO_LONG;
      } else {
        ending = more == 0 ? FETCH_CLOSED : FETCH_READ_FAILED;
      }
      break;
    }
    const int want = room < kReceiveBufferSize - 1 ? room : kReceiveBufferSize - 1;
    const long result = platform_recv(sock, receive_buffer, static_cast<size_t>(want));
    if (result <= 0) {
      ending = result == 0 ? FETCH_CLOSED : FETCH_READ_FAILED;
      break;
    }
    char *grown = static_cast<char *>(std::realloc(*page, static_cast<size_t>(total) + result + 1));
    if (grown == nullptr) {
      // What arrived before stays in the old block, NUL-terminated.
      VarnockSyslog(3, "ostrik: fetch_page: realloc of page buffer failed %d\n", errno);
      ending = FETCH_NO_MEMORY;
      break;
    }
    *page = grown;
    std::memcpy(grown + total, receive_buffer, static_cast<size_t>(result));
    total += static_cast<int>(result);
    grown[total] = '\0';
  }
  return total;
}
