#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
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

// The socket address of address:port (port in network byte order); its
// length, 0 for an address of no known family.
socklen_t socket_address(const PlatformAddress *address, uint16_t port, sockaddr_storage *out) {
  std::memset(out, 0, sizeof *out);
  if (address->family == PLATFORM_IPV4) {
    uint32_t v4;
    std::memcpy(&v4, address->bytes, 4);
    const sockaddr_in in = ipv4_address(v4, port);
    std::memcpy(out, &in, sizeof in);
    return sizeof in;
  }
  if (address->family == PLATFORM_IPV6) {
    sockaddr_in6 in6;
    std::memset(&in6, 0, sizeof in6);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = port;
    std::memcpy(&in6.sin6_addr, address->bytes, 16);
    in6.sin6_scope_id = address->scope;
    std::memcpy(out, &in6, sizeof in6);
    return sizeof in6;
  }
  return 0;
}

// The address of a socket address of either family; false for another.
bool from_socket_address(const sockaddr *sa, PlatformAddress *out) {
  std::memset(out, 0, sizeof *out);
  if (sa == nullptr) {
    return false;
  }
  if (sa->sa_family == AF_INET) {
    sockaddr_in in;
    std::memcpy(&in, sa, sizeof in);
    out->family = PLATFORM_IPV4;
    std::memcpy(out->bytes, &in.sin_addr, 4);
    return true;
  }
  if (sa->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    std::memcpy(&in6, sa, sizeof in6);
    out->family = PLATFORM_IPV6;
    std::memcpy(out->bytes, &in6.sin6_addr, 16);
    out->scope = in6.sin6_scope_id;
    return true;
  }
  return false;
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

PlatformSocket platform_tcp_socket_for(const PlatformAddress *address) {
  const int family = address == nullptr                 ? AF_UNSPEC
                     : address->family == PLATFORM_IPV4 ? AF_INET
                     : address->family == PLATFORM_IPV6 ? AF_INET6
                                                        : AF_UNSPEC;
  if (family == AF_UNSPEC) {
    errno = EAFNOSUPPORT;
    return PLATFORM_INVALID_SOCKET;
  }
  const int fd = socket(family, SOCK_STREAM, IPPROTO_TCP);
  return fd < 0 ? PLATFORM_INVALID_SOCKET : fd;
}

int platform_connect_ipv4_begin(PlatformSocket sock, uint32_t address, uint16_t port) {
  PlatformAddress v4;
  std::memset(&v4, 0, sizeof v4);
  v4.family = PLATFORM_IPV4;
  std::memcpy(v4.bytes, &address, 4);
  return platform_connect_begin(sock, &v4, port);
}

int platform_connect_begin(PlatformSocket sock, const PlatformAddress *address, uint16_t port) {
  sockaddr_storage addr;
  const socklen_t length = socket_address(address, port, &addr);
  if (length == 0) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  if (!set_blocking(sock, false)) {
    return -1;
  }
  if (connect(sock, reinterpret_cast<const sockaddr *>(&addr), length) == 0) {
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

int platform_connect_end(PlatformSocket sock) {
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

int platform_set_blocking(PlatformSocket sock, int blocking) {
  return set_blocking(sock, blocking != 0) ? 0 : -1;
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

int platform_parse_address(const char *text, PlatformAddress *address) {
  std::memset(address, 0, sizeof *address);
  if (text == nullptr || *text == '\0') {
    return -1;
  }
  if (inet_pton(AF_INET, text, address->bytes) == 1) {
    address->family = PLATFORM_IPV4;
    return 0;
  }
  // IPv6, perhaps with a zone ("fe80::1%eth0"): numeric only, never a lookup.
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo *found = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &found) != 0 || found == nullptr) {
    return -1;
  }
  const bool ok = from_socket_address(found->ai_addr, address);
  freeaddrinfo(found);
  return ok ? 0 : -1;
}

int platform_resolve_address(const char *name, PlatformAddress *addresses, int capacity) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (name == nullptr || getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
    return -1;
  }
  int count = 0;
  for (const addrinfo *a = found; a != nullptr && count < capacity; a = a->ai_next) {
    if (from_socket_address(a->ai_addr, &addresses[count])) {
      ++count;
    }
  }
  freeaddrinfo(found);
  return count > 0 ? count : -1;
}

int platform_address_is_local(const PlatformAddress *address) {
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (address->family == PLATFORM_IPV4 && address->bytes[0] == 127) {
    return 1;
  }
  if (address->family == PLATFORM_IPV6) {
    if (std::memcmp(address->bytes, kLoopback6, 16) == 0) {
      return 1;
    }
    if (std::memcmp(address->bytes, kMappedPrefix, 12) == 0 && address->bytes[12] == 127) {
      return 1;
    }
  } else if (address->family != PLATFORM_IPV4) {
    return 0;
  }
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) {
    return 0;
  }
  int local = 0;
  for (const ifaddrs *i = list; i != nullptr && local == 0; i = i->ifa_next) {
    PlatformAddress own;
    if (!from_socket_address(i->ifa_addr, &own)) {
      continue;
    }
    const uint8_t *bytes = address->bytes;
    // An IPv4 address mapped into IPv6 is the IPv4 address.
    int family = address->family;
    if (family == PLATFORM_IPV6 && std::memcmp(bytes, kMappedPrefix, 12) == 0) {
      family = PLATFORM_IPV4;
      bytes += 12;
    }
    if (own.family == family &&
        std::memcmp(own.bytes, bytes, family == PLATFORM_IPV4 ? 4 : 16) == 0) {
      local = 1;
    }
  }
  freeifaddrs(list);
  return local;
}

void platform_format_address(const PlatformAddress *address, char *text, size_t size) {
  if (size == 0) {
    return;
  }
  char buffer[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = "";
  const int family = address->family == PLATFORM_IPV4   ? AF_INET
                     : address->family == PLATFORM_IPV6 ? AF_INET6
                                                        : AF_UNSPEC;
  if (family == AF_UNSPEC || inet_ntop(family, address->bytes, buffer, sizeof buffer) == nullptr) {
    buffer[0] = '\0';
  } else if (family == AF_INET6 && address->scope != 0) {
    const size_t used = std::strlen(buffer);
    std::snprintf(buffer + used, sizeof buffer - used, "%%%u",
                  static_cast<unsigned>(address->scope));
  }
  std::snprintf(text, size, "%s", buffer);
}

uint16_t platform_htons(uint16_t value) { return htons(value); }

int platform_socket_would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

int platform_socket_error(void) { return errno; }
