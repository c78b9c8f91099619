// What a module hands to the process across its own unloading: a reload
// finishes and unloads a module, then loads and starts it again, and what it
// knows of the world (how its servers have fared) would otherwise be lost.
#include <string.h>

#include <map>
#include <mutex>
#include <string>

#include "varnock_host.h"

namespace {

std::mutex g_mutex;
std::map<std::string, std::string> g_kept;

} // namespace

extern "C" {

int32_t VarnockHostKeep(const char *key, const void *data, int32_t length) {
  if (key == nullptr || length < 0 || (data == nullptr && length > 0))
    return -1;
  try {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_kept[key].assign(static_cast<const char *>(data), static_cast<size_t>(length));
  } catch (...) {
    return -1; // no memory: nothing is kept
  }
  return 0;
}

int32_t VarnockHostTake(const char *key, void *data, int32_t capacity) {
  if (key == nullptr || capacity < 0)
    return -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto it = g_kept.find(key);
  if (it == g_kept.end())
    return -1;
  const auto length = static_cast<int32_t>(it->second.size());
  if (data == nullptr)
    return length;
  const bool fits = length <= capacity;
  if (fits)
    memcpy(data, it->second.data(), it->second.size());
  g_kept.erase(it);
  return fits ? length : -1;
}

} // extern "C"
