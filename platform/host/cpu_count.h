// How many CPUs the machine has online.
#pragma once

#include <stdint.h>

// At least 1.
int32_t platform_cpu_count(void);
