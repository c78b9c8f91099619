// Where a server writes its access logs, and in which format: read from its
// info page (the CustomLog, TransferLog and LogFormat directives of the main
// server and of each virtual host) or, without one, from the files that its
// processes hold open.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct LogSource {
  std::string path;   // absolute; relative paths are joined to the server root
  std::string format; // Apache's format string (nicknames resolved); may be empty
  // The virtual host whose own file this is (its ServerName), or empty for
  // the main server's log and for a log shared by several hosts.
  std::string vhost;
  // Why the log is not read, or empty: "piped log", "syslog", "format not
  // known", ...
  std::string problem;
  // True when the format was not stated but assumed ("combined", from the
  // open-files fallback): the lines decide whether it holds.
  bool assumed = false;
  // The section whose requests the log records: "file:line" of its virtual
  // host's opener, or empty for the main server (and the hosts that inherit
  // its logs). Every log of one section records the same requests unless
  // it is conditional (env= or expr=).
  std::string scope;
  bool conditional = false;
  // A GlobalLog: it records the requests of every virtual host, also of
  // those that log on their own.
  bool global = false;
};

// The name Apache gives the main server when no ServerName names it, as
// its %v writes it: this machine's host name when that holds a dot, else
// the first address the name resolves to (the bare name when it does not
// resolve). Looked up once.
std::string log_default_host_name();

// The access logs an info page names, in page order, each path once.
// page is the page as the server sent it (its HTML): the format strings need
// the quotes and angle brackets that html_to_text drops with the entities.
// Plain text from html_to_text still gives the paths and the formats named
// by a well-known nickname. serverRoot joins relative paths.
std::vector<LogSource> log_sources_from_info(const char *page, const char *serverRoot);

// The access logs that process pid and its direct children hold open for
// writing: regular files other than errorLog (absolute, or relative to the
// server root) whose name holds "access", or ends in "log" and does not
// hold "error" (format "combined", assumed). When the descriptors of pid
// cannot be read, the logs of the distribution's layout
// (log_sources_from_layout). Empty when neither shows any. As Debian lays
// its logs out, an access.log beside other_vhosts_access.log is the default
// site's own, named log_default_host_name().
std::vector<LogSource> log_sources_from_processes(int32_t pid, const char *errorLog);

// The access logs that a distribution's layout says main process pid
// writes, when a PID file of that layout (layout_pid_files) names it: in
// its log directory (Debian's /var/log/apache2 or /var/log/apache2-NAME,
// Red Hat's /var/log/httpd), which must be root's and writable by root
// alone, the regular files (not links) named as the current access logs
// are: Debian's "*.log" whose name does not hold "error" (access.log,
// other_vhosts_access.log; not the rotated access.log.1 or .gz), Red
// Hat's "*access_log". In name order, format "combined" assumed.
std::vector<LogSource> log_sources_from_layout(int32_t pid);
