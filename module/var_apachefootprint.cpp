#include <cmath>
#include <cstdint>

#include "collect/processes/footprint.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"

namespace {

// A percentage as the table answers it: the fraction dropped (truncation
// toward zero), taken through a 64-bit integer of which the low 32 bits are
// kept. A value that no 64-bit integer holds would make the conversion
// undefined, so it is first held to that range; a value that is not a number
// answers 0.
int32_t whole_value(double value) {
  if (std::isnan(value)) {
    return 0;
  }
  constexpr double kLimit = 9223372036854775808.0; // 2^63
  int64_t whole = 0;
  if (value >= kLimit) {
    whole = INT64_MAX;
  } else if (value <= -kLimit) {
    whole = INT64_MIN;
  } else {
    whole = static_cast<int64_t>(value);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(whole)));
}

} // namespace

// The footprint table: one row per server, indexed by port, with what the
// server's processes use and the disk space of its logs and document root.
// Nine registered columns (block and message counts, system calls, minor
// faults, swaps, context switches) have nothing behind them and answer null.
unsigned char *var_apachefootprint(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                   int32_t exact, int32_t *valueLength, void **writeMethod) {
  ServerEntry *row =
      table_row(var, oid, oidLength, exact, valueLength, writeMethod, refresh_footprint);
  if (row == nullptr) {
    return nullptr;
  }
  switch (var->magic) {
  case 1: // apacheFootprintPort
    value_int = row->port;
    break;
  case 2: // apacheFootprintCPUTime
    value_int = row->cpuTime;
    break;
  case 3: // apacheFootprintPercentCPU
    value_int = whole_value(row->percentCpu);
    break;
  case 4: // apacheFootprintTotalMEMSize
    value_int = row->memSize;
    break;
  case 5: // apacheFootprintTotalRSS
    value_int = static_cast<int32_t>(row->rss);
    break;
  case 6: // apacheFootprintPercentMEM
    value_int = whole_value(row->percentMem);
    break;
  case 7: // apacheFootprintNumThreads
    value_int = row->numThreads;
    break;
  case 14: // apacheFootprintMajorPgFlts
    value_int = row->majorFaults;
    break;
  case 18: // apacheFootprintTotalLogSize
    value_int = row->totalLogSize;
    break;
  case 19: // apacheFootprintDocSize
    value_int = row->docSize;
    break;
  case 20: // apacheFootprintTotalDiskSize
    value_int = row->totalDiskSize;
    break;
  default:
    return nullptr;
  }
  return reinterpret_cast<unsigned char *>(&value_int);
}
