// The loopback sockets over POSIX: poll, and MSG_DONTWAIT for sends.
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport::loopback {

namespace {

bool ready(int fd, short events) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, kTickMs) > 0;
}

// True when this process may have the port: ctest runs test programs side
// by side, and the system may hand a port that one of them drew and released
// (free_port) to another before the first one's server binds it; a daemon
// still configured with a stopped server's port would also reach whoever
// holds that port next. So a port handed out is claimed machine-wide for an
// hour, by a file named after it; an older claim is from an earlier run. A
// machine without the directory has only the system's word.
bool claim(int type, int port) {
  const char *tmp = std::getenv("TMPDIR");
  const std::string dir =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ostrik-test-ports";
  if (mkdir(dir.c_str(), 01777) == 0) {
    chmod(dir.c_str(), 01777); // past the umask: tests run as several users
  }
  const std::string name = dir + (type == SOCK_DGRAM ? "/udp-" : "/tcp-") + std::to_string(port);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (errno != EEXIST) {
      return true;
    }
    struct stat st {};
    if (stat(name.c_str(), &st) == 0 && std::time(nullptr) - st.st_mtime < 3600) {
      return false;
    }
    unlink(name.c_str());
  }
  return false;
}

// A socket bound to a port of 127.0.0.1 that the system picks (with no
// race) and that no other test process has claimed, listening when backlog
// is above 0; throws when it cannot. Ports claimed by others are held until
// a free one is found, so that the system does not draw them again.
int bind_free_port(int type, int backlog, int *port) {
  std::vector<int> taken;
  const auto release_taken = [&taken] {
    for (const int fd : taken) {
      close(fd);
    }
  };
  for (int draw = 0; draw < 100; ++draw) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
      release_taken();
      throw std::runtime_error("socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t length = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (backlog > 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
      close(fd);
      release_taken();
      throw std::runtime_error("cannot bind a port of 127.0.0.1");
    }
    *port = ntohs(addr.sin_port);
    if (claim(type, *port)) {
      release_taken();
      return fd;
    }
    taken.push_back(fd);
  }
  release_taken();
  throw std::runtime_error("no unclaimed port of 127.0.0.1 in 100 draws");
}

} // namespace

void start_sockets() {}

int listen_on_free_port(int backlog, int *port) {
  return bind_free_port(SOCK_STREAM, backlog, port);
}

int free_port(bool udp) {
  int port = 0;
  for (int draw = 0; draw < 100; ++draw) {
    close(bind_free_port(udp ? SOCK_DGRAM : SOCK_STREAM, 0, &port));
    if (first_handout(udp, port)) {
      break;
    }
  }
  return port;
}

bool readable(int fd) { return ready(fd, POLLIN); }
bool writable(int fd) { return ready(fd, POLLOUT); }

int accept_client(int listening) {
  const int fd = accept(listening, nullptr, nullptr);
  return fd < 0 ? -1 : fd;
}

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

long receive(int fd, char *buf, size_t size) { return recv(fd, buf, size, 0); }

long send_some(int fd, const char *data, size_t size) {
  const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    return 0;
  }
  return n <= 0 ? -1 : n;
}

void reset_on_close(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void close_socket(int fd) { close(fd); }

} // namespace testsupport::loopback
