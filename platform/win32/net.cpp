// Windows Sockets 1.1 (wsock32). The module never starts or stops the socket
// library: the agent's process has started it before the module is loaded.
#include "platform/net.h"

#include <winsock.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

static_assert(sizeof(PlatformSocket) == sizeof(SOCKET), "PlatformSocket holds a SOCKET");

PlatformSocket platform_tcp_socket(void) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? PLATFORM_INVALID_SOCKET : static_cast<PlatformSocket>(s);
}

int platform_connect_ipv4(PlatformSocket sock, uint32_t address, uint16_t port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = port;
  addr.sin_addr.s_addr = address;
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

enum PlatformWait platform_wait_any_readable(const PlatformSocket *socks, int count,
                                             int milliseconds, unsigned char *ready) {
  if (socks == nullptr || ready == nullptr || count < 1 || milliseconds < 0) {
    WSASetLastError(WSAEINVAL);
    return PLATFORM_WAIT_ERROR;
  }
  // A Windows fd_set is a count and an array of handles. FD_SETSIZE (64)
  // only sizes the declared type; select reads as many handles as the count
  // says, so the set is laid out in a block of the size that count needs.
  const size_t offset = offsetof(fd_set, fd_array);
  size_t bytes = offset + sizeof(SOCKET) * static_cast<size_t>(count);
  if (bytes < sizeof(fd_set)) {
    bytes = sizeof(fd_set);
  }
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[bytes]);
  if (!block) {
    WSASetLastError(WSAENOBUFS);
    return PLATFORM_WAIT_ERROR;
  }
  fd_set *set = reinterpret_cast<fd_set *>(block.get());
  SOCKET *handles = reinterpret_cast<SOCKET *>(block.get() + offset);
  set->fd_count = static_cast<u_int>(count);
  for (int i = 0; i < count; ++i) {
    handles[i] = static_cast<SOCKET>(socks[i]);
    ready[i] = 0;
  }
  timeval timeout;
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = (milliseconds % 1000) * 1000;
  const int r = select(0, set, nullptr, nullptr, &timeout);
  if (r <= 0) {
    return r == 0 ? PLATFORM_WAIT_TIMEOUT : PLATFORM_WAIT_ERROR;
  }
  // select leaves the readable handles at the front of the array.
  const u_int found = set->fd_count;
  for (u_int k = 0; k < found; ++k) {
    for (int i = 0; i < count; ++i) {
      if (handles[k] == static_cast<SOCKET>(socks[i])) {
        ready[i] = 1;
      }
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

uint16_t platform_htons(uint16_t value) { return htons(value); }

int platform_socket_error(void) { return WSAGetLastError(); }
