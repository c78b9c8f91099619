#include "config/server_list.h"

#include <cstdlib>
#include <cstring>

ServerEntry *server_list = nullptr;

namespace {

// Copies at most size - 1 characters of src into dst; the rest of dst stays
// as it is (zero in a fresh entry) and the last byte is always NUL. A null
// source leaves the field empty.
void copy_bounded(char *dst, size_t size, const char *src) {
  if (src == nullptr) {
    return;
  }
  size_t n = 0;
  while (n + 1 < size && src[n] != '\0') {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = '\0';
  dst[size - 1] = '\0';
}

} // namespace

ServerEntry *new_server(int32_t port) {
  if (port < 1) {
    return nullptr;
  }
  for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (e->port == port) {
      return nullptr;
    }
  }
  // calloc gives the zero-filled record: empty texts, zero numbers, null links.
  auto *entry = static_cast<ServerEntry *>(std::calloc(1, sizeof(ServerEntry)));
  if (entry == nullptr) {
    return nullptr;
  }
  entry->port = port;
  return entry;
}

int insert_server(ServerEntry *entry) {
  if (entry == nullptr) {
    return -1;
  }
  ServerEntry *previous = nullptr;
  ServerEntry *e = server_list;
  while (e != nullptr && e->port < entry->port) {
    previous = e;
    e = e->next;
  }
  // Whether it goes in front of e, at the end, or into an empty list, the new
  // entry follows the last entry with a smaller port.
  entry->prev = previous;
  entry->next = e;
  if (e != nullptr) {
    e->prev = entry;
  }
  if (previous != nullptr) {
    previous->next = entry;
  } else {
    server_list = entry;
  }
  return 1;
}

int add_server(int32_t port, const char *user, const char *password, int32_t fileCheckInterval,
               const char *credentials) {
  ServerEntry *entry = new_server(port);
  if (entry == nullptr) {
    return -1;
  }
  copy_bounded(entry->user, sizeof entry->user, user);
  copy_bounded(entry->password, sizeof entry->password, password);
  // The credentials field holds the longest Base64 text the reader makes
  // (128 characters) whole.
  copy_bounded(entry->credentials, sizeof entry->credentials, credentials);
  entry->fileCheckInterval = fileCheckInterval;
  entry->lastDocScan = 0;
  if (insert_server(entry) != 1) {
    std::free(entry);
    return -1;
  }
  return 1;
}

ServerEntry *find_server(int32_t port) {
  for (ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (e->port == port) {
      return e;
    }
  }
  return nullptr;
}

ServerEntry *find_next_server(int32_t port) {
  for (ServerEntry *e = server_list; e != nullptr; e = e->next) {
    if (e->port > port) {
      return e;
    }
  }
  return nullptr;
}

void free_server_list(void) {
  ServerEntry *entry = server_list;
  while (entry != nullptr) {
    ServerEntry *next = entry->next;
    tls_state_free(entry->tls);
    log_state_free(entry->logs);
    balancer_state_free(entry->balancers);
    std::free(entry);
    entry = next;
  }
  server_list = nullptr;
}
