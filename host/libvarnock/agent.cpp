// The agent's identity and the machine facts it offers to modules.
#include "platform/host/cpu_count.h"
#include "varnock.h"

namespace {
// The agent's version: 4.2 patch level 2, the interface the modules expect.
constexpr int32_t kAgentVersion = 422;
} // namespace

extern "C" {

int32_t VarnockGetVarnockVersion(void) { return kAgentVersion; }

int32_t VarnockGetNcpuOnline(void) {
  const int32_t online = platform_cpu_count();
  return online > 0 ? online : 1;
}

} // extern "C"
