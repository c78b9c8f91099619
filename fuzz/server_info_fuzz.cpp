// Fuzzes the server-info field rules (parse_server_info) on a page made from
// the input. Byte 0 chooses the entry's state before the page:
//   bit 0  version "Apache/2.4.57 (Debian)" already held (generation 2 rules
//          even without a "Server Version:" line)
//   bit 1  every text field already full (511 characters)
//   bit 2  the page goes through html_to_text first, as the refresh does
// The rest is the page. Afterwards every text field is NUL-terminated within
// its size, and no field outside the collector's own was written.
#include <cstring>
#include <memory>

#include "collect/pages/page_text.h"
#include "collect/pages/server_info.h"
#include "fuzz/fuzz_support.h"

namespace {

template <size_t N> void fill(char (&field)[N], char c) {
  std::memset(field, c, N - 1);
  field[N - 1] = '\0';
}

template <size_t N> void check_text(const char (&field)[N], const char *name) {
  if (!fuzz::terminated(field, N)) {
    fuzz::fail(name);
  }
}

// Copies into `expected` the fields that the collector may write, so that
// what remains different is a write it must not make.
void take_collected_fields(ServerEntry *expected, const ServerEntry *after) {
  std::memcpy(expected->version, after->version, sizeof after->version);
  std::memcpy(expected->runMode, after->runMode, sizeof after->runMode);
  std::memcpy(expected->userName, after->userName, sizeof after->userName);
  std::memcpy(expected->groupName, after->groupName, sizeof after->groupName);
  std::memcpy(expected->hostname, after->hostname, sizeof after->hostname);
  expected->startProcs = after->startProcs;
  expected->minIdleProcs = after->minIdleProcs;
  expected->maxIdleProcs = after->maxIdleProcs;
  expected->maxProcs = after->maxProcs;
  expected->requestsMaxPerChild = after->requestsMaxPerChild;
  expected->keepAlive = after->keepAlive;
  expected->requestsMaxPerConn = after->requestsMaxPerConn;
  expected->threadsPerChild = after->threadsPerChild;
  expected->connectionTimeout = after->connectionTimeout;
  expected->keepAliveTimeout = after->keepAliveTimeout;
  std::memcpy(expected->serverRoot, after->serverRoot, sizeof after->serverRoot);
  std::memcpy(expected->configFile, after->configFile, sizeof after->configFile);
  std::memcpy(expected->pidFile, after->pidFile, sizeof after->pidFile);
  std::memcpy(expected->scoreboardFile, after->scoreboardFile, sizeof after->scoreboardFile);
  std::memcpy(expected->documentRoot, after->documentRoot, sizeof after->documentRoot);
  std::memcpy(expected->accessLog, after->accessLog, sizeof after->accessLog);
  std::memcpy(expected->errorLog, after->errorLog, sizeof after->errorLog);
  std::memcpy(expected->scriptLog, after->scriptLog, sizeof after->scriptLog);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Bytes in{data, size};
  const uint8_t mode = in.byte();
  std::unique_ptr<char[]> page = in.rest();

  auto entry = std::make_unique<ServerEntry>();
  std::memset(entry.get(), 0, sizeof(ServerEntry));
  entry->port = 8080;
  entry->pid = 4321;
  entry->keepAlive = 1;
  if ((mode & 2) != 0) {
    for (char(*field)[SERVER_TEXT_FIELD] :
         {&entry->version, &entry->runMode, &entry->userName, &entry->groupName, &entry->hostname,
          &entry->serverRoot, &entry->configFile, &entry->pidFile, &entry->scoreboardFile,
          &entry->documentRoot, &entry->accessLog, &entry->errorLog, &entry->scriptLog}) {
      fill(*field, 'v');
    }
    fill(entry->user, 'u');
    fill(entry->password, 'p');
    fill(entry->credentials, 'c');
  }
  if ((mode & 1) != 0) {
    std::snprintf(entry->version, sizeof entry->version, "%s", "Apache/2.4.57 (Debian)");
  }

  std::unique_ptr<char[]> text;
  if ((mode & 4) != 0) {
    text.reset(new char[std::strlen(page.get()) + 1]);
    html_to_text(page.get(), text.get());
  } else {
    text = std::move(page);
  }

  auto expected = std::make_unique<ServerEntry>();
  std::memcpy(expected.get(), entry.get(), sizeof(ServerEntry));

  parse_server_info(entry.get(), text.get());

  check_text(entry->version, "version not NUL-terminated");
  check_text(entry->runMode, "runMode not NUL-terminated");
  check_text(entry->userName, "userName not NUL-terminated");
  check_text(entry->groupName, "groupName not NUL-terminated");
  check_text(entry->hostname, "hostname not NUL-terminated");
  check_text(entry->serverRoot, "serverRoot not NUL-terminated");
  check_text(entry->configFile, "configFile not NUL-terminated");
  check_text(entry->pidFile, "pidFile not NUL-terminated");
  check_text(entry->scoreboardFile, "scoreboardFile not NUL-terminated");
  check_text(entry->documentRoot, "documentRoot not NUL-terminated");
  check_text(entry->accessLog, "accessLog not NUL-terminated");
  check_text(entry->errorLog, "errorLog not NUL-terminated");
  check_text(entry->scriptLog, "scriptLog not NUL-terminated");
  fuzz::check(entry->keepAlive == 0 || entry->keepAlive == 1, "keepAlive neither 0 nor 1");

  take_collected_fields(expected.get(), entry.get());
  fuzz::check(std::memcmp(expected.get(), entry.get(), sizeof(ServerEntry)) == 0,
              "a field outside the server-info columns was written (port, pid, credentials...)");
  return 0;
}
