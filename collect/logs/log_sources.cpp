#include "collect/logs/log_sources.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "collect/processes/listen_owner.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/proc_table.h"
#include "platform/root_files.h"
#include "pluginlib/log_format.h"
#include "pluginlib/text.h"

namespace {

// The format mod_log_config writes when no LogFormat without a nickname
// says otherwise (TransferLog's, and CustomLog's when given none).
constexpr char kDefaultFormat[] = "%h %l %u %t \\\"%r\\\" %>s %b";

// The entities mod_info's page uses, and the characters they stand for.
struct Entity {
  const char *name;
  char character;
};
constexpr Entity kEntities[] = {{"quot", '"'}, {"lt", '<'},   {"gt", '>'},
                                {"amp", '&'},  {"nbsp", ' '}, {"apos", '\''}};

// Appends the character of the entity that starts at p ('&'), or nothing
// for one that is not known; the position after it. A '&' that starts no
// entity is kept.
const char *decode_entity(const char *p, std::string *out) {
  const char *end = p + 1;
  while (end - p < 10 && *end != '\0' && *end != ';' && *end != '&' && *end != '<') {
    ++end;
  }
  if (*end != ';') {
    out->push_back('&');
    return p + 1;
  }
  const std::string name(p + 1, end);
  if (name.size() > 1 && name[0] == '#') {
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const long code = std::strtol(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
    if (code > 0 && code < 0x80) {
      out->push_back(static_cast<char>(code));
    }
  }
  for (const Entity &e : kEntities) {
    if (name == e.name) {
      out->push_back(e.character);
    }
  }
  return end + 1;
}

// The page without its tags and with its entities decoded, so that the
// directive lines read as they stand in the configuration files (quotes
// included, which html_to_text drops). A tag that starts a line of the
// page's listing (dd, dt, br, hr, dl) ends the line before it.
std::string page_lines(const char *page) {
  std::string out;
  out.reserve(std::strlen(page) / 2);
  for (const char *p = page; *p != '\0';) {
    const bool tag =
        *p == '<' && (std::isalpha(static_cast<unsigned char>(p[1])) || p[1] == '/' || p[1] == '!');
    if (tag) {
      const char *name = p[1] == '/' ? p + 2 : p + 1;
      static const char *const kBreaks[] = {"dd", "dt", "br", "hr", "dl"};
      for (const char *b : kBreaks) {
        if (std::strncmp(name, b, 2) == 0 && !std::isalnum(static_cast<unsigned char>(name[2]))) {
          out.push_back('\n');
        }
      }
      const char *close = std::strchr(p, '>');
      p = close != nullptr ? close + 1 : p + std::strlen(p);
    } else if (*p == '&') {
      p = decode_entity(p, &out);
    } else {
      out.push_back(*p++);
    }
  }
  return out;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next word of a directive's arguments, as Apache's configuration
// reader splits them: a quoted word (double or single quotes) runs to its
// closing quote and is stored without the quotes but with its backslash
// escapes in place; any other word runs to the next blank. False at the end.
bool next_word(const char **p, std::string *word) {
  const char *s = *p;
  while (blank(*s)) {
    ++s;
  }
  if (*s == '\0' || *s == '\n') {
    *p = s;
    return false;
  }
  const char *start = s;
  const char *end;
  if (*s == '"' || *s == '\'') {
    const char quote = *s;
    start = ++s;
    while (*s != '\0' && *s != '\n' && *s != quote) {
      s += *s == '\\' && s[1] != '\0' && s[1] != '\n' ? 2 : 1;
    }
    end = s;
    if (*s == quote) {
      ++s;
    }
  } else {
    while (*s != '\0' && *s != '\n' && !blank(*s)) {
      ++s;
    }
    end = s;
  }
  word->assign(start, end);
  *p = s;
  return true;
}

// A log directive, or a LogFormat or ServerName, with the virtual host
// section it stands in ("file:line" of the section's opener, or empty for
// the main server).
struct Directive {
  std::string name;
  std::vector<std::string> args;
  std::string scope;
};

// The directives of the page that tell where the server logs, in page
// order. Each module's "Current Configuration" lists its directives under
// "In file:" headers, with the sections that hold them: "  40: <VirtualHost
// *:80>" ... "    : </VirtualHost>". A virtual host's opener is printed with
// the same file and line in every module's listing, which ties the log
// directives (mod_log_config's) to the ServerName (core's).
std::vector<Directive> page_directives(const std::string &lines) {
  static const char *const kWanted[] = {"LogFormat", "CustomLog", "TransferLog", "GlobalLog",
                                        "ServerName"};
  std::vector<Directive> found;
  std::string file;
  std::vector<std::pair<std::string, std::string>> sections; // name, scope
  std::string word;
  for (size_t at = 0; at < lines.size();) {
    size_t end = lines.find('\n', at);
    if (end == std::string::npos) {
      end = lines.size();
    }
    const std::string line = lines.substr(at, end - at);
    at = end + 1;
    const char *p = line.c_str();
    while (blank(*p)) {
      ++p;
    }
    if (std::strncmp(p, "Module Name:", 12) == 0) {
      file.clear();
      sections.clear();
      continue;
    }
    if (std::strncmp(p, "In file:", 8) == 0) {
      p += 8;
      while (blank(*p)) {
        ++p;
      }
      file = p;
      continue;
    }
    // A listing line: the line number (none for a section's end), a colon.
    const char *number = p;
    while (*p >= '0' && *p <= '9') {
      ++p;
    }
    const std::string lineNumber(number, p);
    if (*p != ':' || file.empty()) {
      continue;
    }
    ++p;
    if (!next_word(&p, &word)) {
      continue;
    }
    // Apache takes directive and section names in any case. html_to_text's
    // reduction drops the angle brackets: "VirtualHost *:80" and
    // "/VirtualHost" stand for the opener and its end there.
    std::transform(word.begin(), word.end(), word.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    if (word[0] == '<' || word == "virtualhost" || word[0] == '/') {
      const bool closing = word.compare(0, 2, "</") == 0 || word[0] == '/';
      const size_t start = word.find_first_not_of("</");
      std::string name = start != std::string::npos ? word.substr(start) : "";
      name.erase(std::remove(name.begin(), name.end(), '>'), name.end());
      if (!closing) {
        sections.emplace_back(name, file + ":" + lineNumber);
      } else {
        for (auto it = sections.rbegin(); it != sections.rend(); ++it) {
          if (it->first == name) {
            sections.erase(std::next(it).base(), sections.end());
            break;
          }
        }
      }
      continue;
    }
    const auto wanted = std::find_if(std::begin(kWanted), std::end(kWanted), [&](const char *w) {
      return equals_ignoring_case(word.c_str(), w);
    });
    if (wanted == std::end(kWanted)) {
      continue;
    }
    Directive d;
    d.name = *wanted;
    while (next_word(&p, &word)) {
      d.args.push_back(word);
    }
    for (auto it = sections.rbegin(); it != sections.rend(); ++it) {
      if (it->first == "virtualhost") {
        d.scope = it->second;
        break;
      }
    }
    found.push_back(std::move(d));
  }
  return found;
}

// True when the format writes the virtual host's name (%v or %V, with any
// modifiers): its lines then name their host themselves.
bool format_names_host(const std::string &format) {
  size_t i = format.find('%');
  while (i != std::string::npos) {
    ++i;
    while (i < format.size() && std::strchr("<>!,0123456789", format[i]) != nullptr) {
      ++i;
    }
    if (i < format.size() && format[i] == '{') {
      i = format.find('}', i);
      i = i == std::string::npos ? format.size() : i + 1;
    }
    if (i < format.size() && (format[i] == 'v' || format[i] == 'V')) {
      return true;
    }
    // "%%" is a percent sign, not the start of the next directive.
    i = format.find('%', i < format.size() && format[i] == '%' ? i + 1 : i);
  }
  return false;
}

// A ServerName without its scheme and port: "https://www.example.org:8443"
// is "www.example.org".
std::string host_name(std::string name) {
  const size_t scheme = name.find("://");
  if (scheme != std::string::npos) {
    name.erase(0, scheme + 3);
  }
  const size_t colon = name.rfind(':');
  const size_t bracket = name.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket) &&
      name.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    name.erase(colon);
  }
  return name;
}

bool absolute(const std::string &path) {
  return path[0] == '/' || path[0] == '\\' ||
         (path.size() > 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
          (path[2] == '/' || path[2] == '\\'));
}

// Adds source, or, when its path is listed already, keeps the first entry
// and clears its virtual host when this one is another's.
void add_source(std::vector<LogSource> *sources, LogSource source) {
  for (LogSource &s : *sources) {
    if (s.path == source.path) {
      if (s.vhost != source.vhost) {
        s.vhost.clear();
      }
      return;
    }
  }
  sources->push_back(std::move(source));
}

} // namespace

std::string log_default_host_name() {
  // As Apache takes it when it starts, once.
  static const std::string name = [] {
    char own[256];
    if (platform_host_name(own, sizeof own) != 0 || own[0] == '\0') {
      return std::string("127.0.0.1");
    }
    if (std::strchr(own, '.') != nullptr) {
      return std::string(own);
    }
    PlatformAddress address{};
    if (platform_resolve_address(own, &address, 1) < 1) {
      return std::string("127.0.0.1");
    }
    char text[64];
    platform_format_address(&address, text, sizeof text);
    return std::string(text[0] != '\0' ? text : own);
  }();
  return name;
}

std::vector<LogSource> log_sources_from_info(const char *page, const char *serverRoot) {
  std::vector<LogSource> sources;
  if (page == nullptr) {
    return sources;
  }
  const std::vector<Directive> directives = page_directives(page_lines(page));

  // Apache resolves nicknames once the whole configuration is read: a
  // virtual host's own LogFormat first, then the main server's; the last
  // definition of a name counts. A LogFormat without a nickname sets the
  // format of the TransferLogs.
  std::map<std::string, std::string> formats; // scope '\n' nickname → format
  std::map<std::string, std::string> names;   // scope → ServerName
  for (const Directive &d : directives) {
    if (d.name == "LogFormat" && !d.args.empty()) {
      formats[d.scope + '\n' + (d.args.size() > 1 ? d.args[1] : "")] = d.args[0];
    } else if (d.name == "ServerName" && !d.args.empty()) {
      names.emplace(d.scope, host_name(d.args[0]));
    }
  }
  // A virtual host without a ServerName is called as the main server is
  // (its ServerName, else the machine's name), as Apache's %v calls it.
  const auto main = names.find("");
  const std::string mainName = main != names.end() ? main->second : log_default_host_name();
  auto defined = [&](const std::string &scope, const std::string &name) -> const std::string * {
    auto it = formats.find(scope + '\n' + name);
    if (it == formats.end()) {
      it = formats.find('\n' + name);
    }
    return it != formats.end() ? &it->second : nullptr;
  };

  const std::string root = serverRoot != nullptr ? serverRoot : "";
  for (const Directive &d : directives) {
    if (d.args.empty() ||
        (d.name != "CustomLog" && d.name != "TransferLog" && d.name != "GlobalLog")) {
      continue;
    }
    LogSource source;
    source.path = d.args[0];
    if (source.path.empty()) {
      continue;
    }
    // The format: a nickname the page defines (the nickless LogFormat is the
    // default's, and may itself name a nickname), one of Apache's
    // well-known ones, or a format string of its own (it has a '%').
    std::string format = d.name != "TransferLog" && d.args.size() > 1 ? d.args[1] : "";
    for (int step = 0; step < 2 && format.find('%') == std::string::npos; ++step) {
      if (const std::string *known = defined(d.scope, format)) {
        format = *known;
      } else if (format.empty()) {
        format = kDefaultFormat;
      } else if (const char *nickname = log_format_nickname(format.c_str())) {
        format = nickname;
      } else {
        break;
      }
    }
    if (format.find('%') != std::string::npos) {
      source.format = format;
    } else {
      source.problem = "format not known";
    }
    if (source.path[0] == '|') {
      source.problem = "piped log";
    } else if (source.path.compare(0, 6, "syslog") == 0 &&
               (source.path.size() == 6 || source.path[6] == ':')) {
      source.problem = "syslog";
    } else if (!absolute(source.path) && !root.empty()) {
      source.path = root + (root.back() == '/' ? "" : "/") + source.path;
    }
    source.scope = d.scope;
    source.global = d.name == "GlobalLog";
    for (size_t i = 2; i < d.args.size(); ++i) {
      source.conditional = source.conditional || d.args[i].compare(0, 4, "env=") == 0 ||
                           d.args[i].compare(0, 5, "expr=") == 0;
    }
    if (!d.scope.empty() && !format_names_host(source.format)) {
      const auto it = names.find(d.scope);
      source.vhost = it != names.end() ? it->second : mainName;
    }
    add_source(&sources, std::move(source));
  }
  return sources;
}

namespace {

// Whether a file a server writes looks like an access log: its name ends in
// "log" or holds "access", and does not look like an error log.
bool access_log_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const bool access = name.find("access") != std::string::npos;
  const bool endsLog = name.size() >= 3 && name.compare(name.size() - 3, 3, "log") == 0;
  return access || (endsLog && name.find("error") == std::string::npos);
}

// As Debian lays its logs out, the default site (000-default.conf) writes
// access.log and every other virtual host other_vhosts_access.log: where
// both are found, the first records the default site's requests alone.
void name_default_site(std::vector<LogSource> *sources) {
  for (const LogSource &other : *sources) {
    const size_t slash = other.path.rfind('/');
    if (slash == std::string::npos ||
        other.path.compare(slash + 1, std::string::npos, "other_vhosts_access.log") != 0) {
      continue;
    }
    const std::string own = other.path.substr(0, slash + 1) + "access.log";
    for (LogSource &source : *sources) {
      if (source.path == own) {
        source.vhost = log_default_host_name();
      }
    }
  }
}

} // namespace

std::vector<LogSource> log_sources_from_processes(int32_t pid, const char *errorLog) {
  std::vector<LogSource> sources;
  std::vector<PlatformProcess> processes;
  if (pid <= 0 || platform_list_processes(&processes, nullptr) != 0) {
    return sources;
  }
  std::vector<std::string> paths;
  if (platform_process_written_files(pid, &paths) != 0) {
    return log_sources_from_layout(pid);
  }
  for (const PlatformProcess &p : processes) {
    if (p.ppid == pid && p.pid != pid) {
      (void)platform_process_written_files(p.pid, &paths);
    }
  }
  // An error log named relative to the server root matches by its tail.
  const std::string error = errorLog != nullptr ? errorLog : "";
  const std::string errorTail = error.empty() || error[0] == '/' ? "" : "/" + error;
  const char *combined = log_format_nickname("combined");
  for (const std::string &path : paths) {
    const bool isError = path == error || (!errorTail.empty() && path.size() > errorTail.size() &&
                                           path.compare(path.size() - errorTail.size(),
                                                        errorTail.size(), errorTail) == 0);
    if (isError || !access_log_name(path)) {
      continue;
    }
    LogSource source;
    source.path = path;
    source.format = combined != nullptr ? combined : "";
    source.assumed = true;
    // Which requests each file records is not known here: each counts as
    // its own section.
    source.scope = path;
    add_source(&sources, std::move(source));
  }
  name_default_site(&sources);
  return sources;
}

namespace {

bool ends_with(const std::string &name, const char *tail) {
  const size_t n = std::strlen(tail);
  return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
}

} // namespace

std::vector<LogSource> log_sources_from_layout(int32_t pid) {
  std::vector<LogSource> sources;
  const char *combined = log_format_nickname("combined");
  for (const LayoutPidFile &file : layout_pid_files()) {
    // Only a directory that root alone may write is listed: what others
    // could put there is not read as the server's log.
    if (pid <= 0 || file.pid != pid || !platform_root_directory(file.logDir.c_str())) {
      continue;
    }
    PlatformDirListing listing(file.logDir.c_str());
    PlatformDirEntry entry;
    std::vector<std::string> names;
    while (listing.isOpen() && listing.next(&entry)) {
      const std::string name = entry.name;
      const bool access = file.redHat
                              ? ends_with(name, "access_log")
                              : ends_with(name, ".log") && name.find("error") == std::string::npos;
      if (access && platform_plain_file((file.logDir + "/" + name).c_str())) {
        names.push_back(name);
      }
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
      LogSource source;
      source.path = file.logDir + "/" + name;
      source.format = combined != nullptr ? combined : "";
      source.assumed = true;
      source.scope = source.path;
      add_source(&sources, std::move(source));
    }
  }
  name_default_site(&sources);
  return sources;
}
