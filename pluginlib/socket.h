// The socket routines of the shared plug-in library: a TCP socket, a
// connection to an IPv4 server, and one receive with a time-out.
#pragma once

#include <stdint.h>

#include "platform/net.h"

// A new IPv4 TCP stream socket, or PLATFORM_INVALID_SOCKET.
PlatformSocket get_tcp_socket(void);

// A new TCP stream socket for the address's family (IPv4 or IPv6), or
// PLATFORM_INVALID_SOCKET.
PlatformSocket get_tcp_socket_for(const PlatformAddress *address);

// Connects sock to address:port, both in network byte order. 0 on success,
// negative on failure.
int connect_to_server(PlatformSocket sock, uint32_t address, uint16_t port);

// Waits at most timeout_seconds for data, then receives once, at most size
// bytes into buffer. Bytes received (more than 0); 0 when nothing came in
// time, the wait failed or the peer closed the connection; -1 when the read
// failed, or for a null buffer or a size of 0 or less (after writing
// "receive_socket_data: invalid argument" on the standard error stream).
int receive_socket_data(PlatformSocket sock, char *buffer, int size, int timeout_seconds);
