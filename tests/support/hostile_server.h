// An HTTP server on 127.0.0.1 that stands in for an Apache 2.4 server and can
// turn hostile. It answers /server-info and /server-status?auto with pages
// laid out as a real Apache 2.4 writes them, carrying the values of an
// ApacheFacts, until the test switches it to a misbehaviour; from the next
// connection on it then misbehaves in that way. Every connection is served
// on a thread of its own, so a silent or trickling answer holds up no other.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tests/support/scripted_server.h"

namespace testsupport {

// What a well-behaved server reports on its two pages.
struct ApacheFacts {
  // /server-info
  std::string version = "Apache/2.4.62 (Unix)";
  std::string hostname = "www.example.test";
  std::string server_root = "/srv/apache"; // the PID file is read under it
  std::string user = "www-data";
  std::string group = "www-data";
  int connection_timeout = 60;
  int keepalive_timeout = 5;
  int max_workers = 150; // MaxRequestWorkers
  int start_servers = 5;
  int min_spare = 5;
  int max_spare = 10;
  int max_connections_per_child = 0;
  bool keepalive = true;
  int max_keepalive_requests = 100;
  std::string pid_file = "logs/httpd.pid";
  std::string document_root = "/srv/apache/htdocs";
  std::string error_log = "logs/error_log";
  std::string access_log = "logs/access_log";
  // /server-status?auto
  int uptime = 3723;
  int total_accesses = 1500;
  int total_kbytes = 8800;
  int busy = 3;
  int idle = 7;
  std::string scoreboard = "W_K_R____S......";
};

// The whole answers (status line, header, body) of a good server.
std::string apache24_info_answer(const ApacheFacts &facts, int port);
std::string apache24_status_answer(const ApacheFacts &facts);

// The ways a server misbehaves, each on both pages unless said otherwise.
enum class Hostility {
  None,           // the good pages
  Silent,         // reads the request, then never sends a byte
  Trickle,        // the good answer, one byte a second, for as long as the client waits
  Garbage,        // a 200 header, then 32 MiB of random bytes (no NUL)
  BinaryNul,      // a 200 header, binary data with NUL bytes, then labels with other values
  LongLine,       // a 200 answer of one 8 MiB line; the status page's items stand at its start
  LongScoreboard, // the good status page with a scoreboard of 100,000 characters
  EmptyLabels,    // every label, no values
  HugeNumbers,    // every number 10 to 50 digits long
  UnclosedTag,    // a tag that is never closed, with the page's labels behind it
  Unauthorized,   // 401, as Apache sends it for refused credentials
  NotFound,       // 404
  ServerError,    // 500
  Reset,          // half of an answer with other values, then a reset (RST)
};

const char *hostility_name(Hostility hostility);

// The values that the hostile pages of BinaryNul and Reset carry where no
// one should read them, and that LongLine's line carries for reading.
ApacheFacts hostile_facts();

// The characters of LongScoreboard's scoreboard, and of HugeNumbers' numbers.
std::string long_scoreboard();
struct HugeNumberTexts {
  // status page
  std::string total_accesses, total_kbytes, uptime, busy, idle;
  // info page
  std::string start_servers, min_spare, max_workers, max_keepalive_requests;
  std::string connection_timeout, keepalive_timeout;
};
HugeNumberTexts huge_numbers();

class HostileServer {
public:
  explicit HostileServer(ApacheFacts facts = ApacheFacts());
  ~HostileServer() = default;
  HostileServer(const HostileServer &) = delete;
  HostileServer &operator=(const HostileServer &) = delete;

  int port() const { return server_.port(); }
  // The behaviour and the facts of the next connections.
  void set(Hostility hostility);
  void set_facts(const ApacheFacts &facts);
  ApacheFacts facts() const;
  Hostility hostility() const;
  // Requests received so far whose path starts with path.
  int requests(const std::string &path) const;

private:
  ScriptedServer::Script pick(const std::string &request);

  mutable std::mutex mutex_;
  ApacheFacts facts_;
  Hostility hostility_ = Hostility::None;
  std::vector<std::string> paths_;
  // Last, so that its threads have stopped before the members above go.
  ScriptedServer server_;
};

} // namespace testsupport
