#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr int kTickMs = 20;
constexpr int kRequestWaitMs = 10000;
constexpr size_t kRequestLimit = 1 << 20;

// Waits up to kTickMs for events on fd; true when they came.
bool ready(int fd, short events) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, kTickMs) > 0;
}

} // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptChunk> chunks, End end, int max_connections)
    : chunks_(std::move(chunks)), end_(end), max_connections_(max_connections) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) {
    throw std::runtime_error("socket failed");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0; // the system picks a free port, with no race
  socklen_t length = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 8) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
    close(listen_fd_);
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
  close(listen_fd_);
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
  for (int i = 0; i < max_connections_ && !stop_;) {
    if (!ready(listen_fd_, POLLIN)) {
      continue;
    }
    const int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) {
      continue;
    }
    serve(fd);
    ++i;
    std::lock_guard<std::mutex> lock(mutex_);
    ++served_;
    changed_.notify_all();
  }
}

void ScriptedServer::serve(int fd) {
  // The request: up to the empty line, the client's close, or the time limit.
  std::string request;
  char buf[4096];
  for (int waited = 0; !stop_ && waited < kRequestWaitMs && request.size() < kRequestLimit &&
                       request.find("\r\n\r\n") == std::string::npos;) {
    if (!ready(fd, POLLIN)) {
      waited += kTickMs;
      continue;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
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
      if (!ready(fd, POLLOUT)) {
        continue;
      }
      const ssize_t n =
          send(fd, chunk.data.data() + sent, chunk.data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
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
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else if (end_ == End::Silent) {
    // Silent until the client closes: anything it sends is read and dropped.
    while (!stop_ && !client_gone) {
      if (!ready(fd, POLLIN)) {
        continue;
      }
      if (recv(fd, buf, sizeof buf, 0) <= 0) {
        break;
      }
    }
  }
  close(fd);
}

} // namespace testsupport
