// The agent's identity and the machine facts it offers to modules.
#include <unistd.h>

#include "varnock.h"

namespace {
// The agent's version: 4.2 patch level 2, the interface the modules expect.
constexpr int32_t kAgentVersion = 422;
} // namespace

extern "C" {

int32_t VarnockGetVarnockVersion(void) { return kAgentVersion; }

int32_t VarnockGetNcpuOnline(void) {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(online) : 1;
}

} // extern "C"
