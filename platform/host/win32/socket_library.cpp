#include "platform/host/socket_library.h"

#include <winsock.h>

// Windows Sockets 1.1, the version the modules are written for.
bool platform_socket_library_start(void) {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void platform_socket_library_stop(void) { WSACleanup(); }
