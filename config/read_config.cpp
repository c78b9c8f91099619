#include "config/read_config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "config/server_list.h"
#include "platform/file_mode.h"
#include "platform/proc_table.h"
#include "pluginlib/base64.h"
#include "pluginlib/config_line.h"
#include "pluginlib/log_format.h"
#include "pluginlib/text.h"
#include "pluginlib/tls_build.h"
#include "varnock.h"

namespace {

// The "user:password" text may have at most this many characters.
constexpr size_t kMaxPairChars = 95;
// Base64 of the longest pair: 4 * 32 characters and the NUL.
constexpr size_t kMaxCredentialsBytes = 4 * ((kMaxPairChars + 2) / 3) + 1;
static_assert(kMaxCredentialsBytes <= sizeof(ServerEntry::credentials),
              "the credentials field must hold the longest Base64 text whole");

// Closes the file on every way out of the reader.
struct FileCloser {
  FILE *file;
  ~FileCloser() { std::fclose(file); }
};

// The decimal value of the text's leading digits (after blanks and a sign),
// 0 when there are none; values beyond the 32-bit range are held at its ends.
int32_t to_int32(const char *text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(value);
}

// Base64 of "user:password" into credentials; false, after reporting the
// line, when the pair is longer than 95 characters.
bool make_credentials(const char *user, const char *password, int line_number,
                      char (&credentials)[kMaxCredentialsBytes]) {
  const size_t user_length = std::strlen(user);
  const size_t password_length = std::strlen(password);
  if (user_length + password_length + 1 > kMaxPairChars) {
    report_config_error("Username plus password can not be longer than 95 characters", user,
                        line_number);
    VarnockSyslog(VARNOCK_LOG_ERR,
                  "ostrik: Username plus password can not be longer than 95 characters");
    return false;
  }
  // "user:password", assembled from the lengths just checked.
  char pair[kMaxPairChars + 1];
  std::memcpy(pair, user, user_length);
  pair[user_length] = ':';
  std::memcpy(pair + user_length + 1, password, password_length);
  pair[user_length + 1 + password_length] = '\0';
  base64_encode(credentials, pair);
  return true;
}

constexpr int kMaxTimeout = 60; // seconds, as the receive time-out's default

// The file's "timeout" line: the receive time-out of every server whose
// line sets none; 0 while the file has none.
int32_t file_timeout = 0;

// A time-out text: whole seconds from 1 to 60, digits only; 0 otherwise.
int32_t timeout_value(const char *text) {
  int32_t seconds = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || seconds > kMaxTimeout) {
      return 0;
    }
    seconds = seconds * 10 + (*p - '0');
  }
  return seconds >= 1 && seconds <= kMaxTimeout ? seconds : 0;
}

// The fields that every server line has after its keyword: the user name,
// the password and the file check interval; reported as an "apache" line's
// are. Makes the credentials; false when the line is refused.
bool read_account(const ConfigFields fields, int count, int line_number,
                  char (&credentials)[kMaxCredentialsBytes]) {
  const char *keyword = fields[0];
  if (count == 2) {
    report_config_error("Username expected in ostrik", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: username expected in ostrik");
    return false;
  }
  if (count == 3) {
    report_config_error("Password expected in ostrik", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: Password expected in ostrik");
    return false;
  }
  if (count == 4) {
    report_config_error("File check interval expected in ostrik", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: File check interval expected in ostrik");
    return false;
  }
  const char *user = fields[2];
  const char *password = fields[3];
  return make_credentials(user, password, line_number, credentials);
}

// Turns one "apache" line into a ServerEntry, or reports why it cannot.
void read_apache_line(const ConfigFields fields, int count, int line_number) {
  if (count == 1) {
    report_config_error("Port number expected in ostrik", fields[0], line_number);
    return;
  }
  char credentials[kMaxCredentialsBytes];
  if (!read_account(fields, count, line_number, credentials)) {
    return;
  }
  // A port that is not positive or already listed is refused by the list;
  // such a line is dropped without a message, unless a server line has it.
  const int32_t port = to_int32(fields[1]);
  const ServerEntry *listed = find_server(port);
  if (listed != nullptr && listed->reach.address.family != 0) {
    report_config_error("Port already listed", fields[1], line_number);
    return;
  }
  add_server(port, fields[2], fields[3], to_int32(fields[4]), credentials);
}

// A URL's parts: scheme, host (an IPv6 address without its brackets) and
// port. The message of what is wrong with it, or null.
const char *parse_url(const char *url, ServerReach *reach, int32_t *port) {
  const char *rest;
  if (std::strncmp(url, "http://", 7) == 0) {
    reach->scheme = SCHEME_HTTP;
    rest = url + 7;
    *port = 80;
  } else if (std::strncmp(url, "https://", 8) == 0) {
    reach->scheme = SCHEME_HTTPS;
    rest = url + 8;
    *port = 443;
  } else {
    return "URL must begin with http:// or https://";
  }
  const char *host = rest;
  const char *host_end;
  if (*rest == '[') {
    host = rest + 1;
    host_end = std::strchr(host, ']');
    if (host_end == nullptr) {
      return "IPv6 address without its closing bracket";
    }
    rest = host_end + 1;
  } else {
    host_end = rest;
    while (*host_end != '\0' && *host_end != ':' && *host_end != '/') {
      const char c = *host_end;
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.')) {
        return "Host must be an address or a name of letters, digits, '-' and '.'";
      }
      ++host_end;
    }
    rest = host_end;
  }
  const size_t host_length = static_cast<size_t>(host_end - host);
  if (host_length == 0 || host_length >= sizeof reach->host) {
    return "URL without a host, or with one too long";
  }
  std::memcpy(reach->host, host, host_length);
  reach->host[host_length] = '\0';
  if (*rest == ':') {
    int32_t value = 0;
    const char *digits = ++rest;
    for (; *rest >= '0' && *rest <= '9' && value <= 65535; ++rest) {
      value = value * 10 + (*rest - '0');
    }
    if (rest == digits || value < 1 || value > 65535) {
      return "Port must be a number from 1 to 65535";
    }
    *port = value;
  }
  if (*rest == '/') {
    ++rest;
  }
  if (*rest != '\0') {
    return "URL must name no path: the module asks for its pages itself";
  }
  return nullptr;
}

// The address to reach host at, which must be one of this machine's: an
// address as it is, a name looked up now (its first address of this
// machine). The message of what is wrong, or null.
const char *local_address(const char *host, PlatformAddress *address) {
  const int parsed = platform_parse_address(host, address);
  if (parsed == -2) {
    return "IPv6 is not supported by this build";
  }
  if (parsed == 0) {
    return platform_address_is_local(address) ? nullptr : "Not an address of this machine";
  }
  PlatformAddress found[16];
  const int count = platform_resolve_address(host, found, 16);
  if (count < 0) {
    return "Host name does not resolve";
  }
  for (int i = 0; i < count; ++i) {
    if (platform_address_is_local(&found[i])) {
      *address = found[i];
      return nullptr;
    }
  }
  return "Host name names no address of this machine";
}

// The file's "logformat NAME FORMAT" lines so far: name → format string.
std::map<std::string, std::string> file_formats;

// The format string a logformat= option names: the file's own definition,
// else one of Apache's well-known nicknames; null when neither.
const char *named_format(const char *name) {
  const auto it = file_formats.find(name);
  return it != file_formats.end() ? it->second.c_str() : log_format_nickname(name);
}

bool absolute_path(const char *path) {
  return path[0] == '/' || path[0] == '\\' ||
         (((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
          (path[2] == '/' || path[2] == '\\'));
}

// The options of a line from fields[first] on into reach: timeout=, ca=,
// insecure, owner=, and on a server line (server_line) address=, log= and
// logformat=. The message of what is wrong and the option in *bad, or null.
const char *read_options(const ConfigFields fields, int first, int count, bool server_line,
                         ServerReach *reach, const char **bad) {
  for (int i = first; i < count && i < CONFIG_FIELD_COUNT; ++i) {
    const char *option = fields[i];
    *bad = option;
    if (option[0] == '#') {
      break; // a comment ends the line
    }
    if (std::strncmp(option, "timeout=", 8) == 0) {
      reach->timeout = timeout_value(option + 8);
      if (reach->timeout == 0) {
        return "Time-out must be whole seconds from 1 to 60";
      }
    } else if (std::strncmp(option, "ca=", 3) == 0) {
      if (option[3] == '\0' || std::strlen(option + 3) >= sizeof reach->ca) {
        return "CA file or directory expected";
      }
      std::strcpy(reach->ca, option + 3);
    } else if (std::strcmp(option, "insecure") == 0) {
      reach->insecure = 1;
    } else if (std::strncmp(option, "owner=", 6) == 0) {
      const int64_t uid = platform_user_id(option + 6);
      if (uid == -2) {
        return "owner= is not supported by this build";
      }
      if (uid < 0) {
        return "owner= names no user of this machine";
      }
      reach->ownerSet = 1;
      reach->ownerUid = static_cast<uint32_t>(uid);
    } else if (server_line && std::strncmp(option, "address=", 8) == 0) {
      if (platform_parse_address(option + 8, &reach->address) != 0) {
        return "Address must be an IPv4 or IPv6 address";
      }
      if (platform_address_is_local(&reach->address) == 0) {
        return "Not an address of this machine";
      }
    } else if (server_line && std::strncmp(option, "log=", 4) == 0) {
      if (!absolute_path(option + 4) || std::strlen(option + 4) >= sizeof reach->logPath) {
        return "Access log must be an absolute path";
      }
      std::strcpy(reach->logPath, option + 4);
    } else if (server_line && std::strncmp(option, "logformat=", 10) == 0) {
      const char *format = named_format(option + 10);
      if (format == nullptr) {
        return "Log format not known (a well-known nickname or a logformat line above)";
      }
      std::snprintf(reach->logFormat, sizeof reach->logFormat, "%s", format);
    } else {
      return server_line ? "Unknown option (timeout=, ca=, insecure, owner=, address=, log=, "
                           "logformat=)"
                         : "Unknown option (timeout=, ca=, insecure, owner=, ports=)";
    }
  }
  *bad = "";
  if (reach->logFormat[0] != '\0' && reach->logPath[0] == '\0') {
    return "logformat= needs log=";
  }
  if (reach->insecure != 0 && reach->ca[0] != '\0') {
    return "insecure and ca= exclude each other";
  }
  return nullptr;
}

// Whether a field is one of a discover line's options.
bool is_discover_option(const char *field) {
  return std::strncmp(field, "timeout=", 8) == 0 || std::strncmp(field, "ca=", 3) == 0 ||
         std::strncmp(field, "owner=", 6) == 0 || std::strcmp(field, "insecure") == 0 ||
         std::strncmp(field, "ports=", 6) == 0 || field[0] == '#';
}

// "ports=P1,P2,...": the ports discovery may look at, each 1 to 65535, at
// most DISCOVER_MAX_PORTS of them. False when the list is malformed.
bool read_discover_ports(const char *list, DiscoverSetting *setting) {
  setting->portCount = 0;
  const char *p = list;
  for (;;) {
    long port = 0;
    const char *start = p;
    while (*p >= '0' && *p <= '9' && port <= 65535) {
      port = port * 10 + (*p++ - '0');
    }
    if (p == start || port < 1 || port > 65535 || setting->portCount >= DISCOVER_MAX_PORTS ||
        (*p != ',' && *p != '\0')) {
      return false;
    }
    setting->ports[setting->portCount++] = static_cast<uint16_t>(port);
    if (*p++ == '\0') {
      return true;
    }
  }
}

// "discover [USER PASSWORD] [OPTION...]": find the running servers by
// themselves, fetching their status pages with these credentials, if any,
// and reaching them with these options.
void read_discover_line(const ConfigFields fields, int count, int line_number) {
  const bool account = count >= 2 && !is_discover_option(fields[1]);
  if (account && (count == 2 || is_discover_option(fields[2]))) {
    report_config_error("Password expected after the discover user", fields[1], line_number);
    return;
  }
  DiscoverSetting setting{};
  // ports= is the discover line's own; the others are a server line's.
  static ConfigFields options;
  int kept = 0;
  for (int i = account ? 3 : 1; i < count && fields[i][0] != '#'; ++i) {
    if (std::strncmp(fields[i], "ports=", 6) != 0) {
      std::memcpy(options[kept++], fields[i], sizeof options[0]);
    } else if (!read_discover_ports(fields[i] + 6, &setting)) {
      report_config_error("ports= takes ports from 1 to 65535 separated by commas (at most 64)",
                          fields[i], line_number);
      return;
    }
  }
  const char *bad = "";
  const char *wrong = read_options(options, 0, kept, false, &setting.reach, &bad);
  if (wrong != nullptr) {
    report_config_error(wrong, bad[0] != '\0' ? bad : fields[0], line_number);
    return;
  }
  if (discover_setting.enabled != 0) {
    report_config_error("discover given twice; the first line counts", fields[0], line_number);
    return;
  }
  if (account) {
    char credentials[kMaxCredentialsBytes];
    if (!make_credentials(fields[1], fields[2], line_number, credentials)) {
      return;
    }
    std::snprintf(setting.user, sizeof setting.user, "%s", fields[1]);
    std::snprintf(setting.password, sizeof setting.password, "%s", fields[2]);
    std::snprintf(setting.credentials, sizeof setting.credentials, "%s", credentials);
  }
  setting.enabled = 1;
  discover_setting = setting;
  if (setting.reach.insecure != 0) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: line %d: the certificates of the servers discovery finds are not "
                  "verified (insecure)\n",
                  line_number);
  }
}

// Turns one "server" line into a ServerEntry, or reports why it cannot.
void read_server_line(const ConfigFields fields, int count, int line_number) {
  if (count == 1) {
    report_config_error("URL expected in ostrik", fields[0], line_number);
    return;
  }
  char credentials[kMaxCredentialsBytes];
  if (!read_account(fields, count, line_number, credentials)) {
    return;
  }
  const char *url = fields[1];
  ServerReach reach;
  std::memset(&reach, 0, sizeof reach);
  int32_t port = 0;
  const char *bad = "";
  const char *wrong = parse_url(url, &reach, &port);
  if (wrong == nullptr) {
    wrong = read_options(fields, 5, count, true, &reach, &bad);
    if (wrong == nullptr && reach.scheme != SCHEME_HTTPS &&
        (reach.insecure != 0 || reach.ca[0] != '\0')) {
      wrong = "ca= and insecure are for https URLs only";
    }
  } else {
    bad = url;
  }
  if (wrong == nullptr && reach.address.family == 0) {
    wrong = local_address(reach.host, &reach.address);
    bad = reach.host;
  }
  if (wrong == nullptr && reach.scheme == SCHEME_HTTPS && !tls_available()) {
    wrong = "HTTPS is not supported by this build";
    bad = url;
  }
  if (wrong == nullptr && find_server(port) != nullptr) {
    wrong = "Port already listed";
    bad = url;
  }
  if (wrong != nullptr) {
    report_config_error(wrong, bad[0] != '\0' ? bad : url, line_number);
    return;
  }
  if (add_server(port, fields[2], fields[3], to_int32(fields[4]), credentials) != 1) {
    return; // no memory: the list refused it
  }
  ServerEntry *entry = find_server(port);
  entry->reach = reach;
  if (reach.insecure != 0) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: line %d: the certificate of %s is not verified (insecure)\n",
                  line_number, url);
  }
}

// "logformat NAME FORMAT": a format that later server lines may name with
// logformat=NAME. FORMAT is the rest of the line as Apache's LogFormat
// writes it; double quotes around it are optional.
void read_logformat_line(const char *text, int count, int line_number) {
  const char *p = text;
  for (int word = 0; word < 2; ++word) { // past the keyword and the name
    p += std::strspn(p, " \t");
    p += std::strcspn(p, " \t");
  }
  p += std::strspn(p, " \t");
  std::string format(p);
  format.erase(format.find_last_not_of(" \t") + 1);
  if (format.size() >= 2 && format.front() == '"') {
    // The closing quote is the first one not escaped by a backslash.
    size_t close = 1;
    while (close < format.size() && format[close] != '"') {
      close += format[close] == '\\' ? 2 : 1;
    }
    if (close == format.size() - 1) {
      format = format.substr(1, close - 1);
    }
  }
  ConfigFields fields;
  tokenize_line(text, fields);
  if (count < 3 || format.empty()) {
    report_config_error("Name and format expected after logformat", fields[0], line_number);
  } else if (!file_formats.emplace(fields[1], format).second) {
    report_config_error("Log format already defined", fields[1], line_number);
  }
}

// The file's default time-out: "timeout SECONDS", once.
void read_timeout_line(const ConfigFields fields, int count, int line_number) {
  if (count == 1) {
    report_config_error("Time-out expected in ostrik", fields[0], line_number);
    return;
  }
  const int32_t seconds = timeout_value(fields[1]);
  if (seconds == 0) {
    report_config_error("Time-out must be whole seconds from 1 to 60", fields[1], line_number);
  } else if (file_timeout != 0) {
    report_config_error("Time-out already set", fields[1], line_number);
  } else {
    file_timeout = seconds;
  }
}

} // namespace

DiscoverSetting discover_setting;

int read_config(const char *path) {
  discover_setting = DiscoverSetting{};
  if (path == nullptr) {
    return -1;
  }
  FILE *file = open_text_file(path);
  if (file == nullptr) {
    VarnockSyslog(VARNOCK_LOG_ERR, "varnock: unable to open ostrik config file %s\n", path);
    return -1;
  }
  FileCloser closer{file};
  if (platform_file_readable_by_others(path)) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: config file %s is readable by other users; it holds passwords", path);
  }
  ConfigFields fields;
  char text[CONFIG_FIELD_SIZE];
  int line_number = 0;
  int count;
  file_timeout = 0;
  file_formats.clear();
  while ((count = next_config_line_text(file, fields, &line_number, text)) > 0) {
    const char *keyword = fields[0];
    if (keyword[0] == '#') {
      continue;
    }
    if (equals_ignoring_case(keyword, "apache")) {
      read_apache_line(fields, count, line_number);
    } else if (equals_ignoring_case(keyword, "server")) {
      read_server_line(fields, count, line_number);
    } else if (equals_ignoring_case(keyword, "discover")) {
      read_discover_line(fields, count, line_number);
    } else if (equals_ignoring_case(keyword, "timeout")) {
      read_timeout_line(fields, count, line_number);
    } else if (equals_ignoring_case(keyword, "logformat")) {
      read_logformat_line(text, count, line_number);
    } else {
      report_config_error("Unexpected value", keyword, line_number);
      VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: Unexpected value");
    }
  }
  for (ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    if (entry->reach.timeout == 0) {
      entry->reach.timeout = file_timeout;
    }
  }
  // The servers discovery finds later have no line of their own either.
  if (discover_setting.reach.timeout == 0) {
    discover_setting.reach.timeout = file_timeout;
  }
  file_formats.clear();
  return 0;
}
