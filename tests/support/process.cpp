#include "tests/support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/loopback.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> c_argv(const std::vector<std::string> &argv) {
  std::vector<char *> out;
  for (const auto &a : argv) {
    out.push_back(const_cast<char *>(a.c_str()));
  }
  out.push_back(nullptr);
  return out;
}

int decode_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return -1;
}

// Waits for pid up to timeout; true and *status set when it ended.
bool wait_pid(pid_t pid, double timeout_seconds, int *status) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) {
      return true;
    }
    if (r < 0) {
      *status = 0;
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path,
            const std::string &err_path) {
  auto args = c_argv(argv);
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    setpgid(0, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(args[0], args.data());
    std::fprintf(stderr, "exec %s failed\n", args[0]);
    _exit(127);
  }
  return pid;
}

} // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/ostrik-test-XXXXXX";
  const char *made = mkdtemp(pattern);
  if (made == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

int free_tcp_port() { return loopback::free_port(false); }
int free_udp_port() { return loopback::free_port(true); }

bool wait_for_tcp_port(const std::string &address, int port, double timeout_seconds) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
  bool ok = false;
  while (!ok && Clock::now() < deadline) {
    const int fd = socket(found->ai_family, SOCK_STREAM, 0);
    ok = connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    close(fd);
    if (!ok) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  freeaddrinfo(found);
  return ok;
}

bool wait_for_tcp_port(int port, double timeout_seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
  while (Clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    if (ok) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

CommandResult run_command(const std::vector<std::string> &argv, double timeout_seconds) {
  TempDir dir;
  const std::string out_path = dir.file("out");
  const std::string err_path = dir.file("err");
  const pid_t pid = spawn(argv, out_path, err_path);
  CommandResult result;
  int status = 0;
  if (!wait_pid(pid, timeout_seconds, &status)) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
    result.timed_out = true;
    result.exit_code = -1;
  } else {
    result.exit_code = decode_status(status);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

Process::Process(const std::vector<std::string> &argv, const std::string &log_prefix)
    : out_path_(log_prefix + ".out"), err_path_(log_prefix + ".err") {
  pid_ = spawn(argv, out_path_, err_path_);
}

Process::~Process() {
  if (pid_ > 0) {
    stop(SIGTERM, 5.0);
  }
}

bool Process::running() {
  if (pid_ <= 0) {
    return false;
  }
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = decode_status(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int Process::stop(int sig, double timeout_seconds) {
  if (!running()) {
    return status_;
  }
  kill(pid_, sig);
  int status = 0;
  if (!wait_pid(pid_, timeout_seconds, &status)) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = -1;
    return -1;
  }
  // Anything the program left in its process group goes with it.
  kill(-pid_, SIGKILL);
  pid_ = -1;
  status_ = decode_status(status);
  return status_;
}

int Process::wait(double timeout_seconds) {
  if (!running()) {
    return status_;
  }
  int status = 0;
  if (!wait_pid(pid_, timeout_seconds, &status)) {
    return -1;
  }
  pid_ = -1;
  status_ = decode_status(status);
  return status_;
}

std::string Process::out() const { return read_file(out_path_); }
std::string Process::err() const { return read_file(err_path_); }

} // namespace testsupport
