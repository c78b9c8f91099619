// The sockets of the test servers, one source per system: a listening socket
// on 127.0.0.1 and its clients, polled a tick at a time so that a server
// thread can notice that it is asked to stop. Sockets are held in ints; on
// Windows a 32-bit SOCKET round-trips through one.
#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <utility>

namespace testsupport::loopback {

// How long one wait for a socket event lasts, in milliseconds.
constexpr int kTickMs = 20;

// Starts the system's sockets where they need it (Windows), once; the
// calls below start them themselves.
void start_sockets();

// Listens on a free port of 127.0.0.1 (the system picks it, with no race);
// returns the socket and writes the port. Throws when it cannot.
int listen_on_free_port(int backlog, int *port);
// A port of 127.0.0.1 that was free a moment ago (bound, read, released),
// for a program that the test starts to listen on. Never the same port twice
// in one test process: the system may hand a released port out again, and
// two servers of one test would then collide.
int free_port(bool udp);
// True the first time this process hands out the port (per protocol).
inline bool first_handout(bool udp, int port) {
  static std::mutex lock;
  static std::set<std::pair<bool, int>> given;
  const std::lock_guard<std::mutex> hold(lock);
  return given.insert({udp, port}).second;
}
// Wait up to one tick for the socket to have data (or a client) to take, or
// room to send; true when it came.
bool readable(int fd);
bool writable(int fd);
// A client connected to port of 127.0.0.1 (a blocking socket), or -1.
int connect_to(int port);
// The next client of a listening socket, ready for send_some; -1 if none.
int accept_client(int listening);
// Bytes received into buf; 0 when the client has closed, below 0 on an error.
long receive(int fd, char *buf, size_t size);
// Sends what the socket takes without blocking: the bytes sent, 0 when it
// would block, -1 when the client has gone.
long send_some(int fd, const char *data, size_t size);
// Makes the socket's close abort the connection with a reset (RST).
void reset_on_close(int fd);
void close_socket(int fd);

} // namespace testsupport::loopback
