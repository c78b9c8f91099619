#include "config/read_config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/server_list.h"
#include "platform/file_mode.h"
#include "pluginlib/base64.h"
#include "pluginlib/config_line.h"
#include "pluginlib/text.h"
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

// "discover [USER PASSWORD]": find the running servers by themselves,
// fetching their status pages with these credentials, if any.
void read_discover_line(const ConfigFields fields, int count, int line_number) {
  if (count == 2) {
    report_config_error("Password expected after the discover user", fields[1], line_number);
    return;
  }
  if (count > 3) {
    report_config_error("discover takes at most a user and a password", fields[3], line_number);
    return;
  }
  if (discover_setting.enabled != 0) {
    report_config_error("discover given twice; the first line counts", fields[0], line_number);
    return;
  }
  DiscoverSetting setting{};
  if (count == 3) {
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
}

// Turns one "apache" line into a ServerEntry, or reports why it cannot.
void read_apache_line(const ConfigFields fields, int count, int line_number) {
  const char *keyword = fields[0];
  if (!equals_ignoring_case(keyword, "apache")) {
    report_config_error("Unexpected value", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: Unexpected value");
    return;
  }
  if (count == 1) {
    report_config_error("Port number expected in ostrik", keyword, line_number);
    return;
  }
  if (count == 2) {
    report_config_error("Username expected in ostrik", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: username expected in ostrik");
    return;
  }
  if (count == 3) {
    report_config_error("Password expected in ostrik", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: Password expected in ostrik");
    return;
  }
  if (count == 4) {
    report_config_error("File check interval expected in ostrik", keyword, line_number);
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: File check interval expected in ostrik");
    return;
  }
  const char *user = fields[2];
  const char *password = fields[3];
  char credentials[kMaxCredentialsBytes];
  if (!make_credentials(user, password, line_number, credentials)) {
    return;
  }
  // A port that is not positive or already listed is refused by the list;
  // such a line is dropped without a message.
  add_server(to_int32(fields[1]), user, password, to_int32(fields[4]), credentials);
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
  int line_number = 0;
  int count;
  while ((count = next_config_line(file, fields, &line_number)) > 0) {
    if (fields[0][0] == '#') {
      continue;
    }
    if (equals_ignoring_case(fields[0], "discover")) {
      read_discover_line(fields, count, line_number);
    } else {
      read_apache_line(fields, count, line_number);
    }
  }
  return 0;
}
