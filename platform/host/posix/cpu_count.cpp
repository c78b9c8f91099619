#include "platform/host/cpu_count.h"

#include <unistd.h>

int32_t platform_cpu_count(void) {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(online) : 1;
}
