// tests/support/scripted_server.h over Windows Sockets: the same scripted
// server as on POSIX, with select in place of poll and a non-blocking client
// socket in place of MSG_DONTWAIT.
#include "tests/support/scripted_server.h"

#include <winsock.h>

#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr int kTickMs = 20;
constexpr int kRequestWaitMs = 10000;
constexpr size_t kRequestLimit = 1 << 20;

enum class Event { Readable, Writable };

// Waits up to kTickMs for the event on s; true when it came.
bool ready(SOCKET s, Event event) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tick{0, kTickMs * 1000};
  return select(0, event == Event::Readable ? &set : nullptr,
                event == Event::Writable ? &set : nullptr, nullptr, &tick) > 0;
}

void start_sockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }();
  if (!started) {
    throw std::runtime_error("WSAStartup failed");
  }
}

// The header keeps sockets in ints: a 32-bit SOCKET round-trips through one.
SOCKET as_socket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }
int as_int(SOCKET s) { return static_cast<int>(static_cast<unsigned>(s)); }

} // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptChunk> chunks, End end, int max_connections)
    : chunks_(std::move(chunks)), end_(end), max_connections_(max_connections) {
  start_sockets();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    throw std::runtime_error("socket failed");
  }
  listen_fd_ = as_int(s);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = 0; // the system picks a free port, with no race
  int length = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, 8) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
    closesocket(s);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

std::vector<ScriptChunk> ScriptedServer::whole(const std::string &answer) {
  return {ScriptChunk{answer, 0}};
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  thread_.join();
  closesocket(as_socket(listen_fd_));
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool ScriptedServer::wait_served(int n, double timeout_seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                           [&] { return served_ >= n; });
}

void ScriptedServer::run() {
  const SOCKET listening = as_socket(listen_fd_);
  for (int i = 0; i < max_connections_ && !stop_;) {
    if (!ready(listening, Event::Readable)) {
      continue;
    }
    const SOCKET client = accept(listening, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
      continue;
    }
    serve(as_int(client));
    ++i;
    std::lock_guard<std::mutex> lock(mutex_);
    ++served_;
    changed_.notify_all();
  }
}

void ScriptedServer::serve(int fd) {
  const SOCKET s = as_socket(fd);
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  // The request: up to the empty line, the client's close, or the time limit.
  std::string request;
  char buf[4096];
  for (int waited = 0; !stop_ && waited < kRequestWaitMs && request.size() < kRequestLimit &&
                       request.find("\r\n\r\n") == std::string::npos;) {
    if (!ready(s, Event::Readable)) {
      waited += kTickMs;
      continue;
    }
    const int n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) {
      break;
    }
    request.append(buf, static_cast<size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }

  bool client_gone = false;
  for (const ScriptChunk &chunk : chunks_) {
    for (int waited = 0; waited < chunk.pause_before_ms && !stop_; waited += kTickMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    size_t sent = 0;
    while (!stop_ && !client_gone && sent < chunk.data.size()) {
      if (!ready(s, Event::Writable)) {
        continue;
      }
      const int n =
          send(s, chunk.data.data() + sent, static_cast<int>(chunk.data.size() - sent), 0);
      if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        continue;
      }
      if (n <= 0) {
        client_gone = true; // the client closed its end
        break;
      }
      sent += static_cast<size_t>(n);
    }
  }

  if (end_ == End::Reset) {
    linger l{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
  } else if (end_ == End::Silent) {
    // Silent until the client closes: anything it sends is read and dropped.
    while (!stop_ && !client_gone) {
      if (!ready(s, Event::Readable)) {
        continue;
      }
      if (recv(s, buf, sizeof buf, 0) <= 0) {
        break;
      }
    }
  }
  closesocket(s);
}

} // namespace testsupport
