// The loopback sockets over Windows Sockets: select in place of poll, and a
// non-blocking client socket in place of MSG_DONTWAIT.
#include "tests/support/loopback.h"

#include <winsock.h>

#include <stdexcept>

namespace testsupport::loopback {

namespace {

SOCKET as_socket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }
int as_int(SOCKET s) { return static_cast<int>(static_cast<unsigned>(s)); }

bool ready(int fd, bool read) {
  const SOCKET s = as_socket(fd);
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tick{0, kTickMs * 1000};
  return select(0, read ? &set : nullptr, read ? nullptr : &set, nullptr, &tick) > 0;
}

// A socket bound to a port of 127.0.0.1 that the system picks (with no
// race), listening when backlog is above 0; throws when it cannot.
SOCKET bind_free_port(int type, int backlog, int *port) {
  start_sockets();
  const SOCKET s = socket(AF_INET, type, 0);
  if (s == INVALID_SOCKET) {
    throw std::runtime_error("socket failed");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = 0;
  int length = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      (backlog > 0 && listen(s, backlog) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
    closesocket(s);
    throw std::runtime_error("cannot bind a port of 127.0.0.1");
  }
  *port = ntohs(addr.sin_port);
  return s;
}

} // namespace

void start_sockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }();
  if (!started) {
    throw std::runtime_error("WSAStartup failed");
  }
}

int listen_on_free_port(int backlog, int *port) {
  return as_int(bind_free_port(SOCK_STREAM, backlog, port));
}

int free_port(bool udp) {
  int port = 0;
  for (int draw = 0; draw < 100; ++draw) {
    closesocket(bind_free_port(udp ? SOCK_DGRAM : SOCK_STREAM, 0, &port));
    if (first_handout(udp, port)) {
      break;
    }
  }
  return port;
}

bool readable(int fd) { return ready(fd, true); }
bool writable(int fd) { return ready(fd, false); }

int accept_client(int listening) {
  const SOCKET client = accept(as_socket(listening), nullptr, nullptr);
  if (client == INVALID_SOCKET) {
    return -1;
  }
  u_long nonblocking = 1;
  ioctlsocket(client, FIONBIO, &nonblocking);
  return as_int(client);
}

int connect_to(int port) {
  start_sockets();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(static_cast<u_short>(port));
  if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    closesocket(s);
    return -1;
  }
  return as_int(s);
}

long receive(int fd, char *buf, size_t size) {
  return recv(as_socket(fd), buf, static_cast<int>(size), 0);
}

long send_some(int fd, const char *data, size_t size) {
  const int n = send(as_socket(fd), data, static_cast<int>(size), 0);
  if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
    return 0;
  }
  return n <= 0 ? -1 : n;
}

void reset_on_close(int fd) {
  linger l{1, 0};
  setsockopt(as_socket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
}

void close_socket(int fd) { closesocket(as_socket(fd)); }

} // namespace testsupport::loopback
