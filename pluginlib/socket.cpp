#include "pluginlib/socket.h"

#include <cstdio>

PlatformSocket get_tcp_socket(void) { return platform_tcp_socket(); }

PlatformSocket get_tcp_socket_for(const PlatformAddress *address) {
  return platform_tcp_socket_for(address);
}

int connect_to_server(PlatformSocket sock, uint32_t address, uint16_t port) {
  return platform_connect_ipv4(sock, address, port);
}

int receive_socket_data(PlatformSocket sock, char *buffer, int size, int timeout_seconds) {
  if (buffer == nullptr || size <= 0) {
    std::fprintf(stderr, "receive_socket_data: invalid argument\n");
    return -1;
  }
  if (platform_wait_readable(sock, timeout_seconds) != PLATFORM_WAIT_READY) {
    return 0;
  }
  const long received = platform_recv(sock, buffer, static_cast<size_t>(size));
  if (received < 0) {
    return -1;
  }
  return static_cast<int>(received);
}
