#include "tests/support/hostile_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr size_t kGarbageBytes = 32u << 20;
constexpr size_t kLongLineBytes = 8u << 20;
constexpr size_t kLongScoreboard = 100000;

// The texts that fill the info page's template, one per value shown.
struct InfoText {
  std::string version, hostname, port, connection_timeout, keepalive_timeout, max_workers;
  std::string server_root, config_file, pid_file, document_root, error_log, keepalive;
  std::string max_keepalive_requests, access_log, user, group, start_servers, min_spare;
  std::string max_spare, max_connections_per_child;
};

InfoText info_text(const ApacheFacts &f, int port) {
  InfoText t;
  t.version = f.version;
  t.hostname = f.hostname;
  t.port = std::to_string(port);
  t.connection_timeout = std::to_string(f.connection_timeout);
  t.keepalive_timeout = std::to_string(f.keepalive_timeout);
  t.max_workers = std::to_string(f.max_workers);
  t.server_root = f.server_root;
  t.config_file = f.server_root + "/conf/httpd.conf";
  t.pid_file = f.pid_file;
  t.document_root = "&quot;" + f.document_root + "&quot;";
  t.error_log = f.error_log;
  t.keepalive = f.keepalive ? "On" : "Off";
  t.max_keepalive_requests = std::to_string(f.max_keepalive_requests);
  t.access_log = f.access_log + " common";
  t.user = f.user;
  t.group = f.group;
  t.start_servers = std::to_string(f.start_servers);
  t.min_spare = std::to_string(f.min_spare);
  t.max_spare = std::to_string(f.max_spare);
  t.max_connections_per_child = std::to_string(f.max_connections_per_child);
  return t;
}

// One line of a module's "Current Configuration", as mod_info writes it.
std::string directive(int line, const std::string &name, const std::string &value) {
  std::string number = std::to_string(line);
  std::string pad;
  for (size_t i = number.size(); i < 4; ++i) {
    pad += "&nbsp;";
  }
  return "<dd><tt>" + pad + number + ":&nbsp;" + name + " <i>" + value + "</i></tt></dd>\n";
}

std::string module_head(const std::string &name) {
  return "<dl><dt><a name=\"" + name +
         "\"><strong>Module Name:</strong></a> <font size=\"+1\"><tt><a href=\"?" + name + "\">" +
         name +
         "</a></tt></font></dt>\n<dt><strong>Content handlers:</strong> <tt> "
         "<em>none</em></tt></dt><dt><strong>Configuration Phase "
         "Participation:</strong>\n<tt> <em>none</em></tt></dt>";
}

// The body of Apache 2.4's /server-info, cut down to the server settings and
// the modules whose directives the collector reads; laid out as mod_info
// writes it, entities, hook lists and directive descriptions included.
std::string info_body(const InfoText &t) {
  std::string b =
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\"\n"
      "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
      "<html xmlns=\"http://www.w3.org/1999/xhtml\">\n<head>\n  <title>Server "
      "Information</title>\n</head>\n"
      "<body><h1 style=\"text-align: center\">Apache Server Information</h1>\n"
      "<dl><dt><tt>Subpages:<br /><a href=\"?config\">Configuration Files</a>, <a "
      "href=\"?server\">Server Settings</a>, <a href=\"?list\">Module List</a>, <a "
      "href=\"?hooks\">Active Hooks</a>, <a href=\"?providers\">Available "
      "Providers</a></tt></dt></dl><hr /><h2><a name=\"modules\">Loaded "
      "Modules</a></h2><dl><dt><tt>"
      "<a href=\"#core.c\">core.c</a>, <a href=\"#http_core.c\">http_core.c</a>, <a "
      "href=\"#mod_info.c\">mod_info.c</a>, <a href=\"#mod_log_config.c\">mod_log_config.c</a>, <a "
      "href=\"#mod_status.c\">mod_status.c</a>, <a href=\"#mod_unixd.c\">mod_unixd.c</a>, <a "
      "href=\"#prefork.c\">prefork.c</a>, </tt></dt></dl><hr /><h2><a name=\"server\">Server "
      "Settings</a></h2>"
      "<dl><dt><strong>Server Version:</strong> <font size=\"+1\"><tt>" +
      t.version +
      "</tt></font></dt>\n"
      "<dt><strong>Server Built:</strong> <font "
      "size=\"+1\"><tt>2024-07-17T18:57:38</tt></font></dt>\n"
      "<dt><strong>Server loaded APR Version:</strong> <tt>1.7.2</tt></dt>\n"
      "<dt><strong>Compiled with APR Version:</strong> <tt>1.7.2</tt></dt>\n"
      "<dt><strong>Module Magic Number:</strong> <tt>20120211:134</tt></dt>\n"
      "<dt><strong>Hostname/port:</strong> <tt>" +
      t.hostname + (t.port.empty() ? "" : ":" + t.port) +
      "</tt></dt>\n"
      "<dt><strong>Timeouts:</strong> <tt>connection: " +
      t.connection_timeout + " &nbsp;&nbsp; keep-alive: " + t.keepalive_timeout +
      "</tt></dt><dt><strong>MPM Name:</strong> <tt>prefork</tt></dt>\n"
      "<dt><strong>MPM Information:</strong> <tt>Max Daemons: " +
      t.max_workers +
      " Threaded: no Forked: yes</tt></dt>\n"
      "<dt><strong>Server Architecture:</strong> <tt>64-bit</tt></dt>\n"
      "<dt><strong>Server Root:</strong> <tt>" +
      t.server_root +
      "</tt></dt>\n"
      "<dt><strong>Config File:</strong> <tt>" +
      t.config_file +
      "</tt></dt>\n"
      "<dt><strong>Server Built With:</strong>\n<tt style=\"white-space: pre;\">\n"
      " -D APR_HAS_SENDFILE\n -D APR_HAS_MMAP\n -D APR_HAVE_IPV6 (IPv4-mapped addresses enabled)\n"
      " -D HTTPD_ROOT=\"/etc/apache2\"\n -D SUEXEC_BIN=\"/usr/lib/apache2/suexec\"\n"
      " -D DEFAULT_PIDLOG=\"/run/apache2.pid\"\n"
      " -D DEFAULT_SCOREBOARD=\"logs/apache_runtime_status\"\n"
      " -D DEFAULT_ERRORLOG=\"logs/error_log\"\n -D SERVER_CONFIG_FILE=\"apache2.conf\"\n"
      "</tt></dt>\n</dl><hr /><h2><a name=\"startup_hooks\">Startup Hooks</a></h2>\n"
      "<dl><dt><strong>Pre-Config:</strong>\n <br /><tt>\n"
      "&nbsp;&nbsp; -10 <a href=\"#core.c\">core.c</a> <br/>&nbsp;&nbsp; 10 <a "
      "href=\"#mod_unixd.c\">mod_unixd.c</a> <br/>\n  </tt>\n</dt>\n"
      "<dt><strong>Verify User ID:</strong>\n <br /><tt>\n&nbsp;&nbsp; 00 <a "
      "href=\"#mod_unixd.c\">mod_unixd.c</a> <br/>\n  </tt>\n</dt>\n</dl><hr />\n";

  b += module_head("core.c") +
       "<dt><strong>Request Phase Participation:</strong>\n<tt>Translate Path</tt>, <tt>Map to "
       "Storage</tt></dt>\n<dt><strong>Module Directives:</strong></dt>"
       "<dd><tt>&lt;Directory&gt; - <i>Container for directives affecting resources located in "
       "the specified directories</i></tt></dd>\n"
       "<dd><tt>DocumentRoot - <i>Root directory of the document tree</i></tt></dd>\n"
       "<dd><tt>ErrorLog - <i>The filename of the error log</i></tt></dd>\n"
       "<dd><tt>ErrorLogFormat - <i>Format string for the ErrorLog</i></tt></dd>\n"
       "<dd><tt>PidFile - <i>A file for logging the server process ID</i></tt></dd>\n"
       "<dd><tt>MaxRequestsPerChild - <i>Maximum number of connections a particular child serves "
       "before dying. (DEPRECATED, use MaxConnectionsPerChild)</i></tt></dd>\n"
       "<dt><strong>Current Configuration:</strong></dt>\n"
       "<dd><tt><strong>In file: " +
       t.config_file + "</strong></tt></dd>\n" + directive(2, "ServerName", "localhost") +
       directive(4, "PidFile", t.pid_file) + directive(26, "Timeout", t.connection_timeout) +
       directive(28, "DocumentRoot", t.document_root) + directive(31, "ErrorLog", t.error_log) +
       directive(32, "LogLevel", "warn") + "</dl><hr />\n";

  b += module_head("http_core.c") +
       "<dt><strong>Request Phase Participation:</strong>\n<tt>Process Connection</tt>, "
       "<tt>Create Request</tt></dt>\n<dt><strong>Module Directives:</strong></dt>"
       "<dd><tt>KeepAliveTimeout - <i>Keep-Alive timeout duration (sec)</i></tt></dd>\n"
       "<dd><tt>MaxKeepAliveRequests - <i>Maximum number of Keep-Alive requests per connection, "
       "or 0 for infinite</i></tt></dd>\n"
       "<dd><tt>KeepAlive - <i>Whether persistent connections should be On or Off</i></tt></dd>\n"
       "<dt><strong>Current Configuration:</strong></dt>\n<dd><tt><strong>In file: " +
       t.config_file + "</strong></tt></dd>\n" + directive(25, "KeepAlive", t.keepalive) +
       directive(27, "MaxKeepAliveRequests", t.max_keepalive_requests) + "</dl><hr />\n";

  b += module_head("mod_log_config.c") +
       "<dt><strong>Request Phase Participation:</strong>\n<tt>Log Transaction</tt></dt>\n"
       "<dt><strong>Module Directives:</strong></dt>"
       "<dd><tt>CustomLog - <i>a file name, a custom log format string or format name, and an "
       "optional &quot;env=&quot; or &quot;expr=&quot; clause (see docs)</i></tt></dd>\n"
       "<dd><tt>GlobalLog - <i>Same as CustomLog, but forces virtualhosts to inherit the "
       "log</i></tt></dd>\n"
       "<dd><tt>TransferLog - <i>the filename of the access log</i></tt></dd>\n"
       "<dt><strong>Current Configuration:</strong></dt>\n<dd><tt><strong>In file: " +
       t.config_file + "</strong></tt></dd>\n" +
       directive(33, "LogFormat", "&quot;%h %l %u %t \\&quot;%r\\&quot; %&gt;s %b&quot; common") +
       directive(34, "CustomLog", t.access_log) + "</dl><hr />\n";

  b += module_head("mod_unixd.c") +
       "<dt><strong>Request Phase Participation:</strong>\n<tt> <em>none</em></tt></dt>\n"
       "<dt><strong>Module Directives:</strong></dt>"
       "<dd><tt>User - <i>Effective user id for this server</i></tt></dd>\n"
       "<dd><tt>Group - <i>Effective group id for this server</i></tt></dd>\n"
       "<dd><tt>ChrootDir - <i>The directory to chroot(2) into</i></tt></dd>\n"
       "<dt><strong>Current Configuration:</strong></dt>\n<dd><tt><strong>In file: " +
       t.config_file + "</strong></tt></dd>\n" + directive(7, "User", t.user) +
       directive(8, "Group", t.group) + "</dl><hr />\n";

  b += module_head("prefork.c") +
       "<dt><strong>Request Phase Participation:</strong>\n<tt> <em>none</em></tt></dt>\n"
       "<dt><strong>Module Directives:</strong></dt>"
       "<dd><tt>StartServers - <i>Number of child processes launched at server "
       "startup</i></tt></dd>\n"
       "<dd><tt>MinSpareServers - <i>Minimum number of idle children, to handle request "
       "spikes</i></tt></dd>\n"
       "<dd><tt>MaxSpareServers - <i>Maximum number of idle children</i></tt></dd>\n"
       "<dd><tt>MaxRequestWorkers - <i>Maximum number of children alive at the same "
       "time</i></tt></dd>\n"
       "<dd><tt>MaxConnectionsPerChild - <i>Maximum number of connections a particular child "
       "serves before dying.</i></tt></dd>\n"
       "<dt><strong>Current Configuration:</strong></dt>\n<dd><tt><strong>In file: " +
       t.config_file + "</strong></tt></dd>\n" + directive(3, "Listen", "127.0.0.1:" + t.port) +
       directive(21, "StartServers", t.start_servers) +
       directive(22, "MinSpareServers", t.min_spare) +
       directive(23, "MaxSpareServers", t.max_spare) +
       directive(24, "MaxRequestWorkers", t.max_workers) +
       directive(29, "MaxConnectionsPerChild", t.max_connections_per_child) +
       "</dl><hr />\n</body></html>\n";
  return b;
}

struct StatusText {
  std::string uptime, total_accesses, total_kbytes, busy, idle, scoreboard;
};

StatusText status_text(const ApacheFacts &f) {
  return {std::to_string(f.uptime),       std::to_string(f.total_accesses),
          std::to_string(f.total_kbytes), std::to_string(f.busy),
          std::to_string(f.idle),         f.scoreboard};
}

// Apache 2.4's /server-status?auto, ExtendedStatus on.
std::string status_body(const StatusText &t) {
  return "127.0.0.1\nServerVersion: Apache/2.4.62 (Unix)\nServerMPM: prefork\n"
         "Server Built: 2024-07-17T18:57:38\n"
         "CurrentTime: Wednesday, 09-Dec-2026 06:27:57 UTC\n"
         "RestartTime: Wednesday, 09-Dec-2026 05:25:54 UTC\n"
         "ParentServerConfigGeneration: 1\nParentServerMPMGeneration: 0\n"
         "ServerUptimeSeconds: " +
         t.uptime + "\nServerUptime: 1 hour 2 minutes 3 seconds\n" +
         "Load1: 0.12\nLoad5: 0.08\nLoad15: 0.02\n" + "Total Accesses: " + t.total_accesses +
         "\nTotal kBytes: " + t.total_kbytes +
         "\nTotal Duration: 4711\nCPUUser: .53\nCPUSystem: .31\nCPUChildrenUser: 0\n"
         "CPUChildrenSystem: 0\nCPULoad: .0225\nUptime: " +
         t.uptime +
         "\nReqPerSec: .402874\nBytesPerSec: 2420.58\nBytesPerReq: 6008.32\n"
         "DurationPerReq: 3.14067\nBusyWorkers: " +
         t.busy + "\nGracefulWorkers: 0\nIdleWorkers: " + t.idle + "\nScoreboard: " + t.scoreboard +
         "\n";
}

std::string answer(const std::string &status, const std::string &type, const std::string &body,
                   bool with_length = true) {
  std::string a = "HTTP/1.1 " + status +
                  "\r\nDate: Wed, 09 Dec 2026 06:27:57 GMT\r\nServer: Apache/2.4.62 (Unix)\r\n";
  if (with_length) {
    a += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return a + "Connection: close\r\nContent-Type: " + type + "\r\n\r\n" + body;
}

std::string error_answer(int code, const std::string &reason, const std::string &text,
                         const std::string &extra_header = "") {
  const std::string body = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
                           "\"http://www.w3.org/TR/html4/strict.dtd\">\n<html><head>\n<title>" +
                           std::to_string(code) + " " + reason + "</title>\n</head><body>\n<h1>" +
                           reason + "</h1>\n<p>" + text +
                           "</p>\n<hr>\n<address>Apache/2.4.62 (Unix) Server at 127.0.0.1 "
                           "Port 80</address>\n</body></html>\n";
  std::string a = "HTTP/1.1 " + std::to_string(code) + " " + reason +
                  "\r\nDate: Wed, 09 Dec 2026 06:27:57 GMT\r\nServer: Apache/2.4.62 (Unix)\r\n" +
                  extra_header + "Content-Length: " + std::to_string(body.size()) +
                  "\r\nConnection: close\r\nContent-Type: text/html; charset=iso-8859-1\r\n\r\n";
  return a + body;
}

// 64 KiB of random non-NUL bytes, repeated: cheap to build, so that a
// garbage answer starts at once instead of after drawing 32 Mi numbers, which
// on a busy machine took longer than the receive time-out of the tests.
const std::string &garbage() {
  static const std::string bytes = [] {
    std::string block(64 * 1024, '\0');
    std::mt19937 random(20240717);
    for (char &c : block) {
      c = static_cast<char>(1 + random() % 255); // never a NUL
    }
    std::string s;
    s.reserve(kGarbageBytes);
    while (s.size() < kGarbageBytes) {
      s += block;
    }
    return s;
  }();
  return bytes;
}

bool is_info(const std::string &path) { return path.rfind("/server-info", 0) == 0; }

// The answer that hostility gives to a request for path, for the content
// kinds (the connection-level kinds are handled where it is sent).
std::string hostile_answer(Hostility h, const std::string &path, const ApacheFacts &facts,
                           int port) {
  const bool info = is_info(path);
  auto good = [&](const ApacheFacts &f) {
    return info ? apache24_info_answer(f, port) : apache24_status_answer(f);
  };
  switch (h) {
  case Hostility::None:
  case Hostility::Silent:
  case Hostility::Trickle:
    return good(facts);
  case Hostility::Garbage:
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: application/octet-stream\r\n\r\n";
  case Hostility::BinaryNul: {
    std::string bytes(64 * 1024, '\0');
    std::mt19937 random(7);
    for (char &c : bytes) {
      c = static_cast<char>(random() % 256);
    }
    bytes[100] = '\0'; // at least one NUL early on, whatever the draw
    return answer("200 OK", "application/octet-stream", bytes + good(hostile_facts()), false);
  }
  case Hostility::LongLine: {
    const ApacheFacts f = hostile_facts();
    std::string line;
    if (!info) {
      line = "Total Accesses: " + std::to_string(f.total_accesses) +
             " Total kBytes: " + std::to_string(f.total_kbytes) +
             " Uptime: " + std::to_string(f.uptime) + " BusyWorkers: " + std::to_string(f.busy) +
             " IdleWorkers: " + std::to_string(f.idle) + " Scoreboard: " + f.scoreboard + " ";
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz";
    while (line.size() < kLongLineBytes) {
      line += kLetters[line.size() % 26];
    }
    return answer("200 OK", "text/plain", line);
  }
  case Hostility::LongScoreboard: {
    if (info) {
      return good(facts);
    }
    StatusText t = status_text(facts);
    t.scoreboard = long_scoreboard();
    return answer("200 OK", "text/plain; charset=ISO-8859-1", status_body(t));
  }
  case Hostility::EmptyLabels: {
    if (info) {
      InfoText t; // every value empty
      return answer("200 OK", "text/html; charset=ISO-8859-1", info_body(t), false);
    }
    return answer("200 OK", "text/plain; charset=ISO-8859-1", status_body(StatusText{}));
  }
  case Hostility::HugeNumbers: {
    const HugeNumberTexts n = huge_numbers();
    if (info) {
      InfoText t = info_text(facts, port);
      t.start_servers = n.start_servers;
      t.min_spare = n.min_spare;
      t.max_workers = n.max_workers;
      t.max_keepalive_requests = n.max_keepalive_requests;
      t.connection_timeout = n.connection_timeout;
      t.keepalive_timeout = n.keepalive_timeout;
      return answer("200 OK", "text/html; charset=ISO-8859-1", info_body(t), false);
    }
    StatusText t = status_text(facts);
    t.total_accesses = n.total_accesses;
    t.total_kbytes = n.total_kbytes;
    t.uptime = n.uptime;
    t.busy = n.busy;
    t.idle = n.idle;
    return answer("200 OK", "text/plain; charset=ISO-8859-1", status_body(t));
  }
  case Hostility::UnclosedTag: {
    // The page as the server meant it, behind a tag that is never closed:
    // no '>' follows it anywhere.
    const ApacheFacts f = hostile_facts();
    std::string page = info ? info_body(info_text(f, port)) : status_body(status_text(f));
    page.erase(std::remove(page.begin(), page.end(), '>'), page.end());
    return answer("200 OK", "text/html", "<html><body><pre class=\"status\" title=\"" + page,
                  false);
  }
  case Hostility::Unauthorized:
    return error_answer(401, "Unauthorized",
                        "This server could not verify that you\nare authorized to access the "
                        "document\nrequested.  Either you supplied the wrong\ncredentials (e.g., "
                        "bad password), or your\nbrowser doesn't understand how to supply\nthe "
                        "credentials required.",
                        "WWW-Authenticate: Basic realm=\"ostrik\"\r\n");
  case Hostility::NotFound:
    return error_answer(404, "Not Found", "The requested URL was not found on this server.");
  case Hostility::ServerError:
    return error_answer(500, "Internal Server Error",
                        "The server encountered an internal error or\nmisconfiguration and was "
                        "unable to complete\nyour request.");
  case Hostility::Reset: {
    // An answer that promises its length and breaks off halfway.
    const ApacheFacts f = hostile_facts();
    const std::string whole =
        info ? answer("200 OK", "text/html; charset=ISO-8859-1", info_body(info_text(f, port)))
             : apache24_status_answer(f);
    return whole.substr(0, whole.size() / 2);
  }
  }
  return "";
}

} // namespace

std::string apache24_info_answer(const ApacheFacts &facts, int port) {
  // mod_info writes its page as it goes: over HTTP/1.0 it has no length.
  return answer("200 OK", "text/html; charset=ISO-8859-1", info_body(info_text(facts, port)),
                false);
}

std::string apache24_status_answer(const ApacheFacts &facts) {
  return answer("200 OK", "text/plain; charset=ISO-8859-1", status_body(status_text(facts)));
}

const char *hostility_name(Hostility hostility) {
  switch (hostility) {
  case Hostility::None:
    return "None";
  case Hostility::Silent:
    return "Silent";
  case Hostility::Trickle:
    return "Trickle";
  case Hostility::Garbage:
    return "Garbage";
  case Hostility::BinaryNul:
    return "BinaryNul";
  case Hostility::LongLine:
    return "LongLine";
  case Hostility::LongScoreboard:
    return "LongScoreboard";
  case Hostility::EmptyLabels:
    return "EmptyLabels";
  case Hostility::HugeNumbers:
    return "HugeNumbers";
  case Hostility::UnclosedTag:
    return "UnclosedTag";
  case Hostility::Unauthorized:
    return "Unauthorized";
  case Hostility::NotFound:
    return "NotFound";
  case Hostility::ServerError:
    return "ServerError";
  case Hostility::Reset:
    return "Reset";
  }
  return "?";
}

ApacheFacts hostile_facts() {
  ApacheFacts f;
  f.version = "Apache/2.4.99 (Hostile)";
  f.hostname = "hostile.example.test";
  f.server_root = "/hostile/root";
  f.user = "mallory";
  f.group = "mallory";
  f.connection_timeout = 666;
  f.keepalive_timeout = 66;
  f.max_workers = 6666;
  f.start_servers = 66;
  f.min_spare = 61;
  f.max_spare = 62;
  f.max_connections_per_child = 63;
  f.keepalive = false;
  f.max_keepalive_requests = 64;
  f.pid_file = "hostile/httpd.pid";
  f.document_root = "/hostile/htdocs";
  f.error_log = "hostile/error_log";
  f.access_log = "hostile/access_log";
  f.uptime = 666666;
  f.total_accesses = 6666666;
  f.total_kbytes = 666666;
  f.busy = 66;
  f.idle = 6;
  f.scoreboard = "GGGGLLLDDK";
  return f;
}

std::string long_scoreboard() {
  // Every mark Apache writes, in a cycle of 11: each counted letter once.
  static const char kMarks[] = "_SRWKDCLGI.";
  std::string s(kLongScoreboard, '.');
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = kMarks[i % 11];
  }
  return s;
}

HugeNumberTexts huge_numbers() {
  HugeNumberTexts n;
  n.total_accesses = "123456789012345678901234567890";           // 30 digits
  n.total_kbytes = "18446744073709551617";                       // 2^64 + 1
  n.uptime = "340282366920938463463374607431768211457";          // 2^128 + 1
  n.busy = "-99999999999999999999";                              // below -2^64
  n.idle = "00000000000000000000000000000000000000000000000007"; // 50 digits, small value
  n.start_servers = "4294967301";                                // 2^32 + 5
  n.min_spare = "99999999999999999999999";
  n.max_workers = "18446744073709551616"; // 2^64
  n.max_keepalive_requests = "9223372036854775808";
  n.connection_timeout = "2147483648"; // 2^31
  n.keepalive_timeout = "-2147483649";
  return n;
}

HostileServer::HostileServer(ApacheFacts facts)
    : facts_(std::move(facts)),
      server_(ScriptedServer::PerRequest{},
              [this](const std::string &request) { return pick(request); }) {}

void HostileServer::set(Hostility hostility) {
  if (hostility == Hostility::Garbage) {
    garbage(); // built now, not while a client waits for its answer
  }
  std::lock_guard<std::mutex> lock(mutex_);
  hostility_ = hostility;
}

void HostileServer::set_facts(const ApacheFacts &facts) {
  std::lock_guard<std::mutex> lock(mutex_);
  facts_ = facts;
}

ApacheFacts HostileServer::facts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return facts_;
}

Hostility HostileServer::hostility() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hostility_;
}

int HostileServer::requests(const std::string &path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const std::string &p : paths_) {
    n += p.rfind(path, 0) == 0 ? 1 : 0;
  }
  return n;
}

ScriptedServer::Script HostileServer::pick(const std::string &request) {
  // "GET <path> HTTP/1.0"
  std::string path;
  const size_t space = request.find(' ');
  if (space != std::string::npos) {
    path = request.substr(space + 1, request.find(' ', space + 1) - space - 1);
  }
  Hostility h;
  ApacheFacts facts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.push_back(path);
    h = hostility_;
    facts = facts_;
  }

  using End = ScriptedServer::End;
  const std::string text = hostile_answer(h, path, facts, server_.port());
  ScriptedServer::Script script;
  switch (h) {
  case Hostility::Silent:
    script.end = End::Silent;
    break;
  case Hostility::Trickle:
    // One byte a second, then silent until the client goes.
    for (size_t i = 0; i < text.size(); ++i) {
      script.chunks.push_back(ScriptChunk{std::string(1, text[i]), i == 0 ? 0 : 1000});
    }
    script.end = End::Silent;
    break;
  case Hostility::Garbage:
    script.chunks = {ScriptChunk{text, 0}, ScriptChunk{garbage(), 0}};
    break;
  case Hostility::Reset:
    script.chunks = ScriptedServer::whole(text);
    script.end = End::Reset;
    break;
  default:
    script.chunks = ScriptedServer::whole(text);
    break;
  }
  return script;
}

} // namespace testsupport
