// IPv4 TCP sockets, as thin as the module needs them: create, connect, send,
// receive, close, wait until readable, and turn a host text into an address.
// Addresses and ports cross this interface in network byte order.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
typedef uintptr_t PlatformSocket; // a Winsock SOCKET
#define PLATFORM_INVALID_SOCKET (~(PlatformSocket)0)
#else
typedef int PlatformSocket; // a file descriptor
#define PLATFORM_INVALID_SOCKET (-1)
#endif

// What inet-style conversion gives for a text that is no dotted quad (and
// for "255.255.255.255", which is the same value).
#define PLATFORM_INADDR_NONE 0xFFFFFFFFu

// A new IPv4 TCP stream socket, or PLATFORM_INVALID_SOCKET.
PlatformSocket platform_tcp_socket(void);

// Connects to address:port (both network byte order). 0 on success, a
// negative value on failure (the reason in platform_socket_error()).
int platform_connect_ipv4(PlatformSocket sock, uint32_t address, uint16_t port);

// One send of length bytes; a peer that has gone away gives an error, never
// a signal. Bytes sent, or a negative value on failure.
long platform_send(PlatformSocket sock, const void *data, size_t length);

// One receive of at most size bytes. Bytes received, 0 when the peer closed
// the connection, a negative value on failure.
long platform_recv(PlatformSocket sock, void *buffer, size_t size);

void platform_close_socket(PlatformSocket sock);

enum PlatformWait {
  PLATFORM_WAIT_READY = 1,   // data (or the peer's close, or an error) can be read
  PLATFORM_WAIT_TIMEOUT = 0, // nothing within the time
  PLATFORM_WAIT_ERROR = -1,  // the wait itself failed
};

// Waits at most seconds whole seconds until sock is readable. Works for any
// descriptor number, and a signal does not cut the wait short.
enum PlatformWait platform_wait_readable(PlatformSocket sock, int seconds);

// Starts connecting sock to address:port (network byte order) without
// waiting for it: 0 when the connection is made at once, 1 when it is under
// way, a negative value on failure (the reason in platform_socket_error()).
// Under way, the socket is non-blocking until platform_connect_ipv4_end,
// which is called once platform_wait_any reports it ready.
int platform_connect_ipv4_begin(PlatformSocket sock, uint32_t address, uint16_t port);

// Ends a connection that platform_connect_ipv4_begin left under way, and
// makes the socket blocking again: 0 when it is made, a negative value when
// it failed (the reason in platform_socket_error()).
int platform_connect_ipv4_end(PlatformSocket sock);

// The error number of a connection that did not come about in time, as
// platform_socket_error() gives it for the system's own connect time-out.
int platform_connect_timed_out_error(void);

// Waits at most milliseconds until at least one of count sockets is ready:
// readable (data, the peer's close or an error), or, for a socket whose
// connecting[i] is non-zero, done connecting (made or failed). Then sets
// ready[i] to 1 for every socket i that is and to 0 for the others.
// connecting may be null: every socket is waited on for reading.
// PLATFORM_WAIT_READY; PLATFORM_WAIT_TIMEOUT when none became ready (every
// ready[i] 0); PLATFORM_WAIT_ERROR when the wait failed or count is below 1.
// Any number of sockets, and a signal does not cut the wait short.
enum PlatformWait platform_wait_any(const PlatformSocket *socks, const unsigned char *connecting,
                                    int count, int milliseconds, unsigned char *ready);

// The dotted-quad text as an address in network byte order, or
// PLATFORM_INADDR_NONE.
uint32_t platform_inet_addr(const char *text);

// Looks a host name up; the first IPv4 address (network byte order) in
// *address. 0 on success, -1 when the name does not resolve.
int platform_resolve_ipv4(const char *name, uint32_t *address);

// Host to network byte order.
uint16_t platform_htons(uint16_t value);

// The error number of the last failed socket call of this thread.
int platform_socket_error(void);
