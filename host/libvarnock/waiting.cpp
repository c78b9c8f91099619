// The hook through which a module that waits on slow sources lets its host
// publish what it has so far.
#include <atomic>

#include "varnock_host.h"

namespace {
std::atomic<VarnockWaitingHook> waiting_hook{nullptr};
} // namespace

extern "C" {

void VarnockHostModuleWaiting(int32_t news) {
  if (const VarnockWaitingHook hook = waiting_hook.load())
    hook(news);
}

void VarnockHostSetWaitingHook(VarnockWaitingHook hook) { waiting_hook = hook; }

} // extern "C"
