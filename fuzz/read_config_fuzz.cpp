// Fuzzes read_config with a configuration file made from the input. Whatever
// the file holds, the ServerList that results is well formed: positive,
// distinct ports in ascending order, consistent links, names within the
// length rule and credentials that are the Base64 form of "user:password";
// a server line's entry reaches an address of this machine with a time-out
// of 0 to 60 seconds.
//
// Host names are not looked up: a fuzzer must not send queries to the name
// servers. The target's own getaddrinfo answers "localhost" and numeric
// addresses only, and takes every other name as one that does not resolve.
//
// The reader reports bad lines on the standard error stream. Those reports
// go to /dev/null here: the stderr stream is pointed there, while file
// descriptor 2, on which libFuzzer and the sanitizers report, stays open.
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/read_config.h"
#include "config/server_list.h"
#include "fuzz/fuzz_support.h"
#include "platform/net.h"
#include "tests/support/fake_varnock.h"

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **result) {
  using Real = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
  addrinfo numeric{};
  if (hints != nullptr) {
    numeric = *hints;
  }
  if (node != nullptr && std::strcmp(node, "localhost") == 0) {
    node = "127.0.0.1";
  }
  numeric.ai_flags |= AI_NUMERICHOST;
  return real(node, service, &numeric, result);
}

namespace {

std::string directory;
std::string config_file;

void remove_files() {
  unlink(config_file.c_str());
  rmdir(directory.c_str());
}

std::string base64(const std::string &in) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t group = static_cast<uint8_t>(in[i]) << 16 |
                           static_cast<uint8_t>(in[i + 1]) << 8 | static_cast<uint8_t>(in[i + 2]);
    out += alphabet[group >> 18 & 63];
    out += alphabet[group >> 12 & 63];
    out += alphabet[group >> 6 & 63];
    out += alphabet[group & 63];
  }
  const size_t left = in.size() - i;
  if (left > 0) {
    uint32_t group = static_cast<uint8_t>(in[i]) << 16;
    if (left == 2) {
      group |= static_cast<uint8_t>(in[i + 1]) << 8;
    }
    out += alphabet[group >> 18 & 63];
    out += alphabet[group >> 12 & 63];
    out += left == 2 ? alphabet[group >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

void check_list() {
  const ServerEntry *previous = nullptr;
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    fuzz::check(e->prev == previous, "broken back link");
    fuzz::check(e->port > 0, "entry with a port of 0 or less");
    fuzz::check(previous == nullptr || previous->port < e->port, "ports not strictly ascending");
    fuzz::check(fuzz::terminated(e->user, sizeof e->user), "user not NUL-terminated");
    fuzz::check(fuzz::terminated(e->password, sizeof e->password), "password not NUL-terminated");
    fuzz::check(fuzz::terminated(e->credentials, sizeof e->credentials),
                "credentials not NUL-terminated");
    const std::string pair = std::string(e->user) + ":" + e->password;
    fuzz::check(pair.size() <= 95, "user:password longer than 95 characters");
    fuzz::check(base64(pair) == e->credentials, "credentials are not Base64 of user:password");
    fuzz::check(e->reach.timeout >= 0 && e->reach.timeout <= 60, "time-out out of range");
    fuzz::check(fuzz::terminated(e->reach.host, sizeof e->reach.host), "host not NUL-terminated");
    fuzz::check(fuzz::terminated(e->reach.ca, sizeof e->reach.ca), "CA not NUL-terminated");
    fuzz::check(e->reach.address.family == 0 || platform_address_is_local(&e->reach.address),
                "a server line reaches another machine");
    fuzz::check(e->reach.address.family != 0 || e->reach.host[0] == '\0',
                "an apache line with a host");
    previous = e;
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The file is rewritten for every input: memory-backed /dev/shm keeps that
  // cheap (ten times the executions of a disk-backed /tmp here).
  const char *tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  if (access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  }
  std::string pattern = base + "/ostrik-read-config-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fuzz::fail("cannot make a temporary directory");
  }
  directory = pattern;
  config_file = directory + "/ostrik.cf";
  std::atexit(remove_files);
  if (FILE *null = std::fopen("/dev/null", "w")) {
    stderr = null;
  }
  fake_varnock::reset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Owner-only, like a configuration file that holds passwords should be.
  const int fd = open(config_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  fuzz::check(fd >= 0, "cannot write the configuration file");
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    fuzz::check(n > 0, "cannot write the configuration file");
    done += static_cast<size_t>(n);
  }
  close(fd);

  fuzz::check(read_config(config_file.c_str()) == 0, "read_config failed on a readable file");
  check_list();

  free_server_list();
  fake_varnock::clear_log();
  return 0;
}
