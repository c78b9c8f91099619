// TCP sockets over IPv4 and IPv6, as thin as the module needs them: create,
// connect, send, receive, close, wait until readable, turn a host text into
// an address, and tell whether an address belongs to this machine.
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

// An IPv4 or IPv6 address.
enum { PLATFORM_IPV4 = 4, PLATFORM_IPV6 = 6 };
enum { PLATFORM_ADDRESS_TEXT = 64 }; // room for any address as text, zone included
struct PlatformAddress {
  int32_t family;    // PLATFORM_IPV4 or PLATFORM_IPV6; 0 for no address
  uint8_t bytes[16]; // network byte order; an IPv4 address in the first four
  uint32_t scope;    // an IPv6 link-local address's interface index; else 0
};

// A new IPv4 TCP stream socket, or PLATFORM_INVALID_SOCKET.
PlatformSocket platform_tcp_socket(void);

// A new TCP stream socket for the address's family, or
// PLATFORM_INVALID_SOCKET (also for a family this build cannot reach).
PlatformSocket platform_tcp_socket_for(const struct PlatformAddress *address);

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
// Under way, the socket is non-blocking until platform_connect_end, which
// is called once platform_wait_any reports it ready.
int platform_connect_ipv4_begin(PlatformSocket sock, uint32_t address, uint16_t port);

// platform_connect_ipv4_begin for an IPv4 or IPv6 address; port in network
// byte order.
int platform_connect_begin(PlatformSocket sock, const struct PlatformAddress *address,
                           uint16_t port);

// Ends a connection that platform_connect_begin left under way, and makes
// the socket blocking again: 0 when it is made, a negative value when it
// failed (the reason in platform_socket_error()).
int platform_connect_end(PlatformSocket sock);

// Makes the socket blocking (non-zero) or not. 0 on success, -1 on failure.
int platform_set_blocking(PlatformSocket sock, int blocking);

// The error number of a connection that did not come about in time, as
// platform_socket_error() gives it for the system's own connect time-out.
int platform_connect_timed_out_error(void);

// Waits at most milliseconds until at least one of count sockets is ready:
// readable (data, the peer's close or an error), or, for a socket whose
// connecting[i] is non-zero, writable: done connecting (made or failed), or
// ready for more of a send that would have blocked. Then sets
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

// The text of an IPv4 address (a dotted quad of four decimal numbers) or of
// an IPv6 address (its usual notation, "%zone" allowed) as an address in
// *address. 0 on success; -1 when the text is neither; -2 for an IPv6
// address when this build reaches IPv4 only.
int platform_parse_address(const char *text, struct PlatformAddress *address);

// Looks a host name up; up to capacity of its addresses, IPv4 and IPv6, in
// addresses. The number found (at most capacity), or -1 when the name does
// not resolve.
int platform_resolve_address(const char *name, struct PlatformAddress *addresses, int capacity);

// True when address is one of this machine's: a loopback address
// (127.0.0.0/8, ::1, and IPv4 loopback mapped into IPv6) or an address of
// one of its network interfaces.
int platform_address_is_local(const struct PlatformAddress *address);

// The address as text ("127.0.0.2", "::1", "fe80::1%2"), cut to size.
void platform_format_address(const struct PlatformAddress *address, char *text, size_t size);

// Host to network byte order.
uint16_t platform_htons(uint16_t value);

// True when the last failed socket call of this thread failed only because
// a non-blocking socket was not ready (it would have blocked).
int platform_socket_would_block(void);

// The error number of the last failed socket call of this thread.
int platform_socket_error(void);
