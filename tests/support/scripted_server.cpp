// The scripted server over the loopback sockets: the same source on every
// system.
#include "tests/support/scripted_server.h"

#include <chrono>

#include "tests/support/loopback.h"

namespace testsupport {

namespace {

using loopback::kTickMs;

constexpr int kRequestWaitMs = 10000;
constexpr size_t kRequestLimit = 1 << 20;
constexpr size_t kPickedRequestLimit = 64 * 1024;

} // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptChunk> chunks, End end, int max_connections)
    : ScriptedServer(
          [script = Script{std::move(chunks), end}](const std::string &) { return script; },
          max_connections, false, 8, kRequestLimit) {}

ScriptedServer::ScriptedServer(PerRequest, Picker pick)
    : ScriptedServer(std::move(pick), -1, true, 16, kPickedRequestLimit) {}

ScriptedServer::ScriptedServer(Picker pick, int max_connections, bool concurrent, int backlog,
                               size_t request_limit)
    : pick_(std::move(pick)), max_connections_(max_connections), concurrent_(concurrent),
      request_limit_(request_limit) {
  listen_fd_ = loopback::listen_on_free_port(backlog, &port_);
  thread_ = std::thread([this] { run(); });
}

std::vector<ScriptChunk> ScriptedServer::whole(const std::string &answer) {
  return {ScriptChunk{answer, 0}};
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  thread_.join();
  for (std::thread &t : connections_) {
    t.join();
  }
  loopback::close_socket(listen_fd_);
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
  for (int i = 0; (max_connections_ < 0 || i < max_connections_) && !stop_;) {
    if (!loopback::readable(listen_fd_)) {
      continue;
    }
    const int fd = loopback::accept_client(listen_fd_);
    if (fd < 0) {
      continue;
    }
    ++i;
    if (concurrent_) {
      connections_.emplace_back([this, fd] { serve(fd); });
    } else {
      serve(fd);
    }
  }
}

std::string ScriptedServer::receive_request(int fd) {
  // Up to the empty line, the client's close, or the time limit.
  std::string request;
  char buf[4096];
  for (int waited = 0; !stop_ && waited < kRequestWaitMs && request.size() < request_limit_ &&
                       request.find("\r\n\r\n") == std::string::npos;) {
    if (!loopback::readable(fd)) {
      waited += kTickMs;
      continue;
    }
    const long n = loopback::receive(fd, buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    request.append(buf, static_cast<size_t>(n));
  }
  return request;
}

// False when the client has gone before all was sent.
bool ScriptedServer::send_all(int fd, const std::string &data) {
  size_t sent = 0;
  while (!stop_ && sent < data.size()) {
    if (!loopback::writable(fd)) {
      continue;
    }
    const long n = loopback::send_some(fd, data.data() + sent, data.size() - sent);
    if (n < 0) {
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

void ScriptedServer::serve(int fd) {
  const std::string request = receive_request(fd);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  const Script script = pick_(request);

  bool client_gone = false;
  for (const ScriptChunk &chunk : script.chunks) {
    for (int waited = 0; waited < chunk.pause_before_ms && !stop_ && !client_gone;
         waited += kTickMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    if (stop_ || client_gone) {
      break;
    }
    client_gone = !send_all(fd, chunk.data);
  }

  if (script.end == End::Reset) {
    loopback::reset_on_close(fd);
  } else if (script.end == End::Silent) {
    // Silent until the client closes: anything it sends is read and dropped.
    char buf[4096];
    while (!stop_ && !client_gone) {
      if (!loopback::readable(fd)) {
        continue;
      }
      if (loopback::receive(fd, buf, sizeof buf) <= 0) {
        break;
      }
    }
  }
  loopback::close_socket(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  ++served_;
  changed_.notify_all();
}

bool resets_reach_the_client() {
  static const bool reach = [] {
    ScriptedServer server({{"HTTP/1.1 200 OK\r\n\r\n", 0}, {"", 100}}, ScriptedServer::End::Reset);
    const int fd = loopback::connect_to(server.port());
    if (fd < 0 || loopback::send_some(fd, "GET\r\n\r\n", 7) != 7) {
      if (fd >= 0) {
        loopback::close_socket(fd);
      }
      return true; // nothing learnt: the tests that need it decide
    }
    long n = 1;
    char buf[256];
    for (int waited = 0; n > 0 && waited < 5000;) {
      if (loopback::readable(fd)) {
        n = loopback::receive(fd, buf, sizeof buf);
      } else {
        waited += kTickMs;
      }
    }
    loopback::close_socket(fd);
    return n != 0;
  }();
  return reach;
}

} // namespace testsupport
