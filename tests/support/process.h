// Helpers for tests that run real programs: temporary directories, free
// loopback ports, commands with captured output, background processes that
// are always stopped.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

// A port on 127.0.0.1 that nothing is bound to right now.
int free_tcp_port();
int free_udp_port();

// True once something accepts TCP connections on 127.0.0.1:port.
bool wait_for_tcp_port(int port, double timeout_seconds);
// The same on another address of this machine ("127.0.0.2", "::1").
bool wait_for_tcp_port(const std::string &address, int port, double timeout_seconds);

struct CommandResult {
  int exit_code = -1; // -1 when killed by a signal or timed out
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv[0] (searched in PATH) and waits at most timeout_seconds.
CommandResult run_command(const std::vector<std::string> &argv, double timeout_seconds = 60.0);

// A program running in the background; stdout and stderr go to files.
// The destructor stops it (SIGTERM, then SIGKILL after 5 seconds).
class Process {
public:
  Process(const std::vector<std::string> &argv, const std::string &log_prefix);
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Sends sig and waits up to timeout_seconds; returns the exit status as
  // run_command does (-1 for a signal or a time-out).
  int stop(int sig = 15, double timeout_seconds = 10.0);
  // Waits for the process to end by itself.
  int wait(double timeout_seconds);
  std::string out() const;
  std::string err() const;

private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

} // namespace testsupport
