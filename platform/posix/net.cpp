#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// address and port as they are given: in network byte order.
sockaddr_in ipv4_address(uint32_t address, uint16_t port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = port;
  addr.sin_addr.s_addr = address;
  return addr;
}

} // namespace

PlatformSocket platform_tcp_socket(void) {
  const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return fd < 0 ? PLATFORM_INVALID_SOCKET : fd;
}

int platform_connect_ipv4(PlatformSocket sock, uint32_t address, uint16_t port) {
  const sockaddr_in addr = ipv4_address(address, port);
  if (connect(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
    return 0;
  }
  if (errno != EINTR) {
    return -1;
  }
  // A signal interrupted the wait, not the connection set-up, which goes on:
  // wait for its outcome instead of connecting again.
  for (;;) {
    pollfd p;
    p.fd = sock;
    p.events = POLLOUT;
    p.revents = 0;
    const int r = poll(&p, 1, -1);
    if (r > 0) {
      break;
    }
    if (r < 0 && errno != EINTR) {
      return -1;
    }
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return -1;
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

long platform_send(PlatformSocket sock, const void *data, size_t length) {
  ssize_t r;
  do {
    r = send(sock, data, length, kSendFlags);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

long platform_recv(PlatformSocket sock, void *buffer, size_t size) {
  ssize_t r;
  do {
    r = recv(sock, buffer, size, 0);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

void platform_close_socket(PlatformSocket sock) {
  if (sock != PLATFORM_INVALID_SOCKET) {
    close(sock);
  }
}

enum PlatformWait platform_wait_readable(PlatformSocket sock, int seconds) {
  // poll, not select: a descriptor number beyond FD_SETSIZE must work too.
  if (sock < 0 || seconds < 0) {
    errno = EINVAL;
    return PLATFORM_WAIT_ERROR;
  }
  const long long total_ms = static_cast<long long>(seconds) * 1000;
  const long long deadline = now_ms() + total_ms;
  long long left = total_ms;
  for (;;) {
    pollfd p;
    p.fd = sock;
    p.events = POLLIN;
    p.revents = 0;
    const int r = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (r > 0) {
      if (p.revents & POLLNVAL) {
        errno = EBADF;
        return PLATFORM_WAIT_ERROR;
      }
      // A close or an error counts as readable: the receive reports it.
      return PLATFORM_WAIT_READY;
    }
    if (r < 0 && errno != EINTR) {
      return PLATFORM_WAIT_ERROR;
    }
    left = deadline - now_ms();
    if (left <= 0) {
      return PLATFORM_WAIT_TIMEOUT;
    }
  }
}

namespace {

bool set_blocking(int sock, bool blocking) {
  const int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0) {
    return false;
  }
  const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return wanted == flags || fcntl(sock, F_SETFL, wanted) == 0;
}

} // namespace

int platform_connect_ipv4_begin(PlatformSocket sock, uint32_t address, uint16_t port) {
  if (!set_blocking(sock, false)) {
    return -1;
  }
  const sockaddr_in addr = ipv4_address(address, port);
  if (connect(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
    return set_blocking(sock, true) ? 0 : -1;
  }
  if (errno == EINPROGRESS || errno == EINTR) {
    return 1; // the set-up goes on; the socket turns writable when it is decided
  }
  const int error = errno;
  set_blocking(sock, true);
  errno = error;
  return -1;
}

int platform_connect_ipv4_end(PlatformSocket sock) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    error = errno;
  }
  if (error == 0 && !set_blocking(sock, true)) {
    error = errno;
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

int platform_connect_timed_out_error(void) { return ETIMEDOUT; }

enum PlatformWait platform_wait_any(const PlatformSocket *socks, const unsigned char *connecting,
                                    int count, int milliseconds, unsigned char *ready) {
  if (socks == nullptr || ready == nullptr || count < 1 || milliseconds < 0) {
    errno = EINVAL;
    return PLATFORM_WAIT_ERROR;
  }
  std::unique_ptr<pollfd[]> polled(new (std::nothrow) pollfd[static_cast<size_t>(count)]);
  if (!polled) {
    errno = ENOMEM;
    return PLATFORM_WAIT_ERROR;
  }
  for (int i = 0; i < count; ++i) {
    polled[i].fd = socks[i];
    polled[i].events = connecting != nullptr && connecting[i] != 0 ? POLLOUT : POLLIN;
    polled[i].revents = 0;
    ready[i] = 0;
  }
  const long long deadline = now_ms() + milliseconds;
  long long left = milliseconds;
  for (;;) {
    const int r = poll(polled.get(), static_cast<nfds_t>(count), static_cast<int>(left));
    if (r > 0) {
      // A close, an error or a bad descriptor counts as ready: the receive
      // or the end of the connection reports it.
      for (int i = 0; i < count; ++i) {
        ready[i] = polled[i].revents != 0 ? 1 : 0;
      }
      return PLATFORM_WAIT_READY;
    }
    if (r < 0 && errno != EINTR) {
      return PLATFORM_WAIT_ERROR;
    }
    left = deadline - now_ms();
    if (left <= 0) {
      return PLATFORM_WAIT_TIMEOUT;
    }
  }
}

uint32_t platform_inet_addr(const char *text) { return inet_addr(text); }

int platform_resolve_ipv4(const char *name, uint32_t *address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
    return -1;
  }
  int result = -1;
  for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr &&
        a->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
      sockaddr_in in;
      std::memcpy(&in, a->ai_addr, sizeof in);
      *address = in.sin_addr.s_addr;
      result = 0;
      break;
    }
  }
  freeaddrinfo(found);
  return result;
}

uint16_t platform_htons(uint16_t value) { return htons(value); }

int platform_socket_error(void) { return errno; }
