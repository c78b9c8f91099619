// A private Apache HTTP server for tests: its own directory under /tmp, its
// own configuration (mod_status and mod_info behind Basic authentication), a
// free port on 127.0.0.1, and stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "tests/support/process.h"

namespace testsupport {

// The multi-processing module the server runs.
enum class Mpm { Prefork, Event };

class ApacheInstance {
public:
  // Sets up and starts the server with one user of the password file.
  // extra_conf, when not empty, is written to a file that the configuration
  // includes at its end. The server listens on listen, an address of this
  // machine ("::1" for IPv6). Throws std::runtime_error when the server
  // cannot be set up or does not come up within the start-up time.
  ApacheInstance(const std::string &user, const std::string &password,
                 const std::string &extra_conf = "", Mpm mpm = Mpm::Prefork,
                 const std::string &listen = "127.0.0.1");
  ~ApacheInstance();
  ApacheInstance(const ApacheInstance &) = delete;
  ApacheInstance &operator=(const ApacheInstance &) = delete;

  int port() const { return port_; }
  const std::string &dir() const { return dir_.path(); }
  std::string pid_file() const { return dir() + "/run/httpd.pid"; }
  std::string access_log() const { return dir() + "/logs/access_log"; }
  std::string error_log() const { return dir() + "/logs/error_log"; }
  std::string document_root() const { return dir() + "/htdocs"; }
  std::string config_file() const { return dir() + "/conf/httpd.conf"; }

  // The main server process (the one the PID file names); -1 once stopped.
  pid_t pid() const;
  bool running();

  // Stops the server and waits until it has gone; its exit status as
  // Process::stop gives it.
  int stop();
  // Graceful restart (the main process stays); true when the restart was
  // accepted and the port answers again within a few seconds.
  bool graceful();
  // Starts a stopped server again, on the same port with the same
  // configuration; true once the port answers.
  bool start();

  // One HTTP/1.0 GET of path from 127.0.0.1:port(), with Basic credentials
  // when user is not empty. The whole answer (status line, headers, body);
  // empty when nothing could be fetched within 10 seconds.
  std::string get(const std::string &path, const std::string &user = "",
                  const std::string &password = "") const;

  // Requests the index page, one request after the other, for seconds: CPU
  // time enough for the server's processes to show some.
  void load(double seconds) const;

private:
  TempDir dir_;
  std::string listen_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

// The path of scripts/apache-instance.sh in the source tree.
std::string apache_instance_script();

// The text of Base64 for user:password, as HTTP Basic credentials carry it.
std::string basic_credentials(const std::string &user, const std::string &password);

// A plain HTTP/1.0 GET to 127.0.0.1:port; the whole answer or empty.
std::string http_get(int port, const std::string &path, const std::string &user = "",
                     const std::string &password = "", double timeout_seconds = 10.0);

} // namespace testsupport
