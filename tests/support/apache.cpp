#include "tests/support/apache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStartSeconds = 20.0;
constexpr int kPortAttempts = 3;

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) {
      close(fd);
    }
  }
};

Clock::time_point deadline_after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double remaining(Clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - Clock::now()).count();
}

} // namespace

std::string apache_instance_script() {
  return std::string(OSTRIK_SOURCE_DIR) + "/scripts/apache-instance.sh";
}

std::string basic_credentials(const std::string &user, const std::string &password) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const unsigned v =
        (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string http_get(int port, const std::string &path, const std::string &user,
                     const std::string &password, double timeout_seconds) {
  const auto deadline = deadline_after(timeout_seconds);
  Fd sock(socket(AF_INET, SOCK_STREAM, 0));
  if (sock.fd < 0) {
    return "";
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(sock.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    return "";
  }
  std::string request = "GET " + path + " HTTP/1.0\r\n";
  if (!user.empty()) {
    request += "Authorization: Basic " + basic_credentials(user, password) + "\r\n";
  }
  request += "\r\n";
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = send(sock.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return "";
    }
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buf[16384];
  for (;;) {
    const double left = remaining(deadline);
    if (left <= 0) {
      return "";
    }
    pollfd p{sock.fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r <= 0) {
      return "";
    }
    const ssize_t n = recv(sock.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return "";
    }
    if (n == 0) {
      return answer;
    }
    answer.append(buf, static_cast<size_t>(n));
  }
}

ApacheInstance::ApacheInstance(const std::string &user, const std::string &password,
                               const std::string &extra_conf, Mpm mpm, const std::string &listen)
    : listen_(listen) {
  // Apache's children run as www-data and must reach the instance directory.
  chmod(dir().c_str(), 0755);
  std::string extra_path;
  if (!extra_conf.empty()) {
    extra_path = dir() + "/extra.conf";
    write_file(extra_path, extra_conf);
    chmod(extra_path.c_str(), 0644);
  }
  const char *mpm_name = mpm == Mpm::Event ? "event" : "prefork";
  std::string failure;
  // A free port can be taken by someone else before Apache binds it; then
  // Apache exits at once and another port is tried.
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    port_ = free_tcp_port();
    const std::string listen_text =
        listen_.find(':') != std::string::npos ? "[" + listen_ + "]" : listen_;
    std::vector<std::string> setup = {
        "bash", apache_instance_script(), "setup", "--mpm", mpm_name, "--listen", listen_text,
        dir(),  std::to_string(port_),    user,    password};
    if (!extra_path.empty()) {
      setup.push_back(extra_path);
    }
    const CommandResult r = run_command(setup, 60.0);
    if (r.exit_code != 0) {
      throw std::runtime_error("apache-instance.sh setup failed: " + r.out + r.err);
    }
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"bash", apache_instance_script(), "foreground", dir()},
        dir() + "/foreground");
    const auto deadline = deadline_after(kStartSeconds);
    bool up = false;
    while (remaining(deadline) > 0 && process_->running()) {
      if (wait_for_tcp_port(listen_, port_, 0.2) && process_->running()) {
        up = true;
        break;
      }
    }
    if (up) {
      return;
    }
    failure = process_->err() + read_file(error_log());
    process_->stop();
    process_.reset();
  }
  throw std::runtime_error("Apache did not start: " + failure);
}

ApacheInstance::~ApacheInstance() { stop(); }

pid_t ApacheInstance::pid() const { return process_ ? process_->pid() : -1; }

bool ApacheInstance::running() { return process_ && process_->running(); }

int ApacheInstance::stop() {
  if (!process_) {
    return -1;
  }
  const int status = process_->stop(SIGTERM, 15.0);
  process_.reset();
  return status;
}

bool ApacheInstance::graceful() {
  if (!running()) {
    return false;
  }
  const CommandResult r = run_command({"bash", apache_instance_script(), "graceful", dir()}, 30.0);
  if (r.exit_code != 0) {
    return false;
  }
  return wait_for_tcp_port(listen_, port_, 10.0) && running();
}

bool ApacheInstance::start() {
  if (running()) {
    return false;
  }
  process_ = std::make_unique<Process>(
      std::vector<std::string>{"bash", apache_instance_script(), "foreground", dir()},
      dir() + "/foreground");
  const auto deadline = deadline_after(kStartSeconds);
  while (remaining(deadline) > 0 && process_->running()) {
    if (wait_for_tcp_port(listen_, port_, 0.2) && process_->running()) {
      return true;
    }
  }
  return false;
}

std::string ApacheInstance::get(const std::string &path, const std::string &user,
                                const std::string &password) const {
  return http_get(port_, path, user, password);
}

void ApacheInstance::load(double seconds) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until && !get("/").empty()) {
  }
}

} // namespace testsupport
