// Windows Sockets 1.1 (wsock32). The module never starts or stops the socket
// library: the agent's process has started it before the module is loaded.
#include "platform/net.h"

#include <winsock.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

static_assert(sizeof(PlatformSocket) == sizeof(SOCKET), "PlatformSocket holds a SOCKET");

namespace {

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
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? PLATFORM_INVALID_SOCKET : static_cast<PlatformSocket>(s);
}

int platform_connect_ipv4(PlatformSocket sock, uint32_t address, uint16_t port) {
  const sockaddr_in addr = ipv4_address(address, port);
  return connect(static_cast<SOCKET>(sock), reinterpret_cast<const sockaddr *>(&addr),
                 sizeof addr) == 0
             ? 0
             : -1;
}

long platform_send(PlatformSocket sock, const void *data, size_t length) {
  // One send takes at most INT_MAX bytes; a longer request goes out short.
  const int n = length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
  return send(static_cast<SOCKET>(sock), static_cast<const char *>(data), n, 0);
}

long platform_recv(PlatformSocket sock, void *buffer, size_t size) {
  const int n = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  return recv(static_cast<SOCKET>(sock), static_cast<char *>(buffer), n, 0);
}

void platform_close_socket(PlatformSocket sock) {
  if (sock != PLATFORM_INVALID_SOCKET) {
    closesocket(static_cast<SOCKET>(sock));
  }
}

enum PlatformWait platform_wait_readable(PlatformSocket sock, int seconds) {
  // select is safe for any socket here: a Windows fd_set is a counted array
  // of handles, not a bitmap indexed by descriptor number.
  if (sock == PLATFORM_INVALID_SOCKET || seconds < 0) {
    WSASetLastError(WSAEINVAL);
    return PLATFORM_WAIT_ERROR;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(sock), &readable);
  timeval timeout;
  timeout.tv_sec = seconds;
  timeout.tv_usec = 0;
  // The first argument is ignored by Windows.
  const int r = select(0, &readable, nullptr, nullptr, &timeout);
  if (r > 0) {
    return PLATFORM_WAIT_READY;
  }
  return r == 0 ? PLATFORM_WAIT_TIMEOUT : PLATFORM_WAIT_ERROR;
}

namespace {

bool set_blocking(PlatformSocket sock, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ioctlsocket(static_cast<SOCKET>(sock), FIONBIO, &non_blocking) == 0;
}

// A Windows fd_set is a count and an array of handles. FD_SETSIZE (64) only
// sizes the declared type; select reads as many handles as the count says,
// so each set is laid out in a block of the size that its handles need.
class SocketSet {
public:
  explicit SocketSet(int capacity) {
    bytes_ = offsetof(fd_set, fd_array) + sizeof(SOCKET) * static_cast<size_t>(capacity);
    if (bytes_ < sizeof(fd_set)) {
      bytes_ = sizeof(fd_set);
    }
    block_.reset(new (std::nothrow) unsigned char[bytes_]);
    if (block_) {
      set()->fd_count = 0;
    }
  }
  bool valid() const { return block_ != nullptr; }
  fd_set *set() { return reinterpret_cast<fd_set *>(block_.get()); }
  // The set, or null when it is empty (select takes no empty set).
  fd_set *set_or_null() { return set()->fd_count > 0 ? set() : nullptr; }
  SOCKET *handles() {
    return reinterpret_cast<SOCKET *>(block_.get() + offsetof(fd_set, fd_array));
  }
  void add(SOCKET s) { handles()[set()->fd_count++] = s; }
  bool has(SOCKET s) {
    for (u_int k = 0; k < set()->fd_count; ++k) {
      if (handles()[k] == s) {
        return true;
      }
    }
    return false;
  }

private:
  size_t bytes_ = 0;
  std::unique_ptr<unsigned char[]> block_;
};

} // namespace

// Windows Sockets 1.1 reaches IPv4 only: an IPv6 address is refused where
// it would be used, as an address family this build does not support.
PlatformSocket platform_tcp_socket_for(const PlatformAddress *address) {
  if (address == nullptr || address->family != PLATFORM_IPV4) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return PLATFORM_INVALID_SOCKET;
  }
  return platform_tcp_socket();
}

int platform_connect_begin(PlatformSocket sock, const PlatformAddress *address, uint16_t port) {
  if (address == nullptr || address->family != PLATFORM_IPV4) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return -1;
  }
  uint32_t v4;
  std::memcpy(&v4, address->bytes, 4);
  return platform_connect_ipv4_begin(sock, v4, port);
}

int platform_set_blocking(PlatformSocket sock, int blocking) {
  return set_blocking(sock, blocking != 0) ? 0 : -1;
}

int platform_connect_ipv4_begin(PlatformSocket sock, uint32_t address, uint16_t port) {
  if (!set_blocking(sock, false)) {
    return -1;
  }
  const sockaddr_in addr = ipv4_address(address, port);
  if (connect(static_cast<SOCKET>(sock), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) ==
      0) {
    return set_blocking(sock, true) ? 0 : -1;
  }
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    return 1; // the set-up goes on; select reports it writable or failed
  }
  set_blocking(sock, true);
  WSASetLastError(error);
  return -1;
}

int platform_connect_end(PlatformSocket sock) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error),
                 &length) != 0) {
    error = WSAGetLastError();
  }
  if (error == 0 && !set_blocking(sock, true)) {
    error = WSAGetLastError();
  }
  if (error != 0) {
    WSASetLastError(error);
    return -1;
  }
  return 0;
}

int platform_connect_timed_out_error(void) { return WSAETIMEDOUT; }

enum PlatformWait platform_wait_any(const PlatformSocket *socks, const unsigned char *connecting,
                                    int count, int milliseconds, unsigned char *ready) {
  if (socks == nullptr || ready == nullptr || count < 1 || milliseconds < 0) {
    WSASetLastError(WSAEINVAL);
    return PLATFORM_WAIT_ERROR;
  }
  // Reading sockets in the first set; a connection under way shows its
  // success in the second and its failure in the third.
  SocketSet readable(count);
  SocketSet writable(count);
  SocketSet failed(count);
  if (!readable.valid() || !writable.valid() || !failed.valid()) {
    WSASetLastError(WSAENOBUFS);
    return PLATFORM_WAIT_ERROR;
  }
  for (int i = 0; i < count; ++i) {
    const SOCKET s = static_cast<SOCKET>(socks[i]);
    if (connecting != nullptr && connecting[i] != 0) {
      writable.add(s);
      failed.add(s);
    } else {
      readable.add(s);
    }
    ready[i] = 0;
  }
  timeval timeout;
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = (milliseconds % 1000) * 1000;
  // The first argument is ignored by Windows.
  const int r =
      select(0, readable.set_or_null(), writable.set_or_null(), failed.set_or_null(), &timeout);
  if (r <= 0) {
    return r == 0 ? PLATFORM_WAIT_TIMEOUT : PLATFORM_WAIT_ERROR;
  }
  // select leaves the ready handles of each set at the front of its array.
  for (int i = 0; i < count; ++i) {
    const SOCKET s = static_cast<SOCKET>(socks[i]);
    if (connecting != nullptr && connecting[i] != 0) {
      ready[i] = writable.has(s) || failed.has(s) ? 1 : 0;
    } else {
      ready[i] = readable.has(s) ? 1 : 0;
    }
  }
  return PLATFORM_WAIT_READY;
}

uint32_t platform_inet_addr(const char *text) { return inet_addr(text); }

int platform_resolve_ipv4(const char *name, uint32_t *address) {
  if (name == nullptr || address == nullptr) {
    return -1;
  }
  const hostent *host = gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    return -1;
  }
  std::memcpy(address, host->h_addr_list[0], 4);
  return 0;
}

int platform_parse_address(const char *text, PlatformAddress *address) {
  std::memset(address, 0, sizeof *address);
  if (text == nullptr) {
    return -1;
  }
  // Four decimal numbers of 0 to 255 between dots, nothing else: inet_addr
  // would also take "127.1" or hexadecimal parts.
  uint8_t bytes[4];
  const char *p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') {
      return std::strchr(text, ':') != nullptr ? -2 : -1;
    }
    int value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) {
      value = value * 10 + (*p - '0');
    }
    if (digits == 0 || digits > 3 || value > 255) {
      return std::strchr(text, ':') != nullptr ? -2 : -1;
    }
    bytes[part] = static_cast<uint8_t>(value);
  }
  if (*p != '\0') {
    return -1;
  }
  address->family = PLATFORM_IPV4;
  std::memcpy(address->bytes, bytes, 4);
  return 0;
}

int platform_resolve_address(const char *name, PlatformAddress *addresses, int capacity) {
  if (name == nullptr || capacity < 1) {
    return -1;
  }
  const hostent *host = gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr) {
    return -1;
  }
  int count = 0;
  for (char **a = host->h_addr_list; *a != nullptr && count < capacity; ++a, ++count) {
    std::memset(&addresses[count], 0, sizeof addresses[count]);
    addresses[count].family = PLATFORM_IPV4;
    std::memcpy(addresses[count].bytes, *a, 4);
  }
  return count > 0 ? count : -1;
}

// Loopback, or one of the addresses that this machine's own name resolves
// to: Windows Sockets 1.1 has no list of the interfaces' addresses.
int platform_address_is_local(const PlatformAddress *address) {
  if (address == nullptr || address->family != PLATFORM_IPV4) {
    return 0;
  }
  if (address->bytes[0] == 127) {
    return 1;
  }
  char name[256];
  if (gethostname(name, sizeof name) != 0) {
    return 0;
  }
  name[sizeof name - 1] = '\0';
  PlatformAddress own[16];
  const int count = platform_resolve_address(name, own, 16);
  for (int i = 0; i < count; ++i) {
    if (std::memcmp(own[i].bytes, address->bytes, 4) == 0) {
      return 1;
    }
  }
  return 0;
}

void platform_format_address(const PlatformAddress *address, char *text, size_t size) {
  if (size == 0) {
    return;
  }
  if (address == nullptr || address->family != PLATFORM_IPV4) {
    text[0] = '\0';
    return;
  }
  std::snprintf(text, size, "%u.%u.%u.%u", address->bytes[0], address->bytes[1], address->bytes[2],
                address->bytes[3]);
}

uint16_t platform_htons(uint16_t value) { return htons(value); }

int platform_socket_would_block(void) { return WSAGetLastError() == WSAEWOULDBLOCK; }

int platform_socket_error(void) { return WSAGetLastError(); }
