// The descriptor table: one MibVariable for each of the module's 62
// variables, in the order init registers them. The table is built at compile
// time and never changed, so every descriptor handed to the agent stays valid
// and unchanged while the module is loaded.
#include "module/ostrik.h"

#include <stddef.h>

namespace {

// The arcs of a table's column under the module's subtree, before the column
// arc itself.
struct TableArcs {
  uint32_t arcs[3];
  uint8_t count;
};

constexpr TableArcs CONFIG_TABLE = {{10, 1, 0}, 2};
constexpr TableArcs FOOTPRINT_TABLE = {{11, 1, 1}, 3};
constexpr TableArcs PERF_TABLE = {{11, 2, 1}, 3};

constexpr size_t NAME_FIELD = sizeof MibVariable{}.name;

// A descriptor with the fixed fields set, the OID starting with the
// module's subtree, and the name copied in (the rest of the field NUL).
template <size_t N>
constexpr MibVariable base(uint8_t type, uint8_t magic, VariableHandler handler,
                           const char (&name)[N]) {
  static_assert(N <= NAME_FIELD, "variable name does not fit its field");
  MibVariable v{};
  for (int i = 0; i < OSTRIK_SUBTREE_LENGTH; ++i) {
    v.oid[i] = OSTRIK_SUBTREE[i];
  }
  v.oidLength = OSTRIK_SUBTREE_LENGTH;
  v.access = 1;
  v.type = type;
  v.magic = magic;
  v.reserved = OSTRIK_DESCRIPTOR_WORD;
  v.handler = handler;
  for (size_t i = 0; i < N; ++i) {
    v.name[i] = name[i];
  }
  return v;
}

// A scalar: enterprises.E.16.3.magic.0, handled by var_ostrik.
template <size_t N>
constexpr MibVariable scalar(uint8_t magic, uint8_t type, const char (&name)[N]) {
  MibVariable v = base(type, magic, var_ostrik, name);
  v.oid[v.oidLength++] = magic;
  v.oid[v.oidLength++] = 0;
  return v;
}

// A table column: enterprises.E.16.3.<table>.magic.<row index placeholder>.
template <size_t N>
constexpr MibVariable column(const TableArcs &table, VariableHandler handler, uint8_t magic,
                             uint8_t type, const char (&name)[N]) {
  MibVariable v = base(type, magic, handler, name);
  for (int i = 0; i < table.count; ++i) {
    v.oid[v.oidLength++] = table.arcs[i];
  }
  v.oid[v.oidLength++] = magic;
  v.oid[v.oidLength++] = OSTRIK_INDEX_PLACEHOLDER;
  return v;
}

template <size_t N>
constexpr MibVariable config(uint8_t magic, uint8_t type, const char (&name)[N]) {
  return column(CONFIG_TABLE, var_apacheconfig, magic, type, name);
}
template <size_t N> constexpr MibVariable footprint(uint8_t magic, const char (&name)[N]) {
  return column(FOOTPRINT_TABLE, var_apachefootprint, magic, VARNOCK_TYPE_COUNTER32, name);
}
template <size_t N> constexpr MibVariable perf(uint8_t magic, uint8_t type, const char (&name)[N]) {
  return column(PERF_TABLE, var_apacheperf, magic, type, name);
}

constexpr uint8_t INTEGER = VARNOCK_TYPE_INTEGER;
constexpr uint8_t STRING = VARNOCK_TYPE_OCTET_STRING;
constexpr uint8_t COUNTER = VARNOCK_TYPE_COUNTER32;
constexpr uint8_t GAUGE = VARNOCK_TYPE_GAUGE32;

} // namespace

// Sized by its initializers: the declaration in ostrik.h makes a missing or
// extra entry a compile error.
constinit MibVariable ostrik_variables[] = {
    scalar(1, STRING, "ostrikVersion"),
    scalar(2, INTEGER, "ostrikMode"),

    config(1, INTEGER, "apacheConfigPort"),
    config(2, STRING, "apacheConfigVersion"),
    config(3, INTEGER, "apacheConfigPID"),
    config(4, STRING, "apacheConfigRunMode"),
    config(5, STRING, "apacheConfigUser"),
    config(6, STRING, "apacheConfigGroup"),
    config(7, STRING, "apacheConfigHostname"),
    config(8, INTEGER, "apacheConfigStartProcs"),
    config(9, INTEGER, "apacheConfigMinIdleProcs"),
    config(10, INTEGER, "apacheConfigMaxIdleProcs"),
    config(11, INTEGER, "apacheConfigMaxProcs"),
    config(12, INTEGER, "apacheConfigRequestsMaxPerChild"),
    config(13, INTEGER, "apacheConfigRequestsKeepAlive"),
    config(14, INTEGER, "apacheConfigRequestsMaxPerConn"),
    config(15, INTEGER, "apacheConfigThreadsPerChild"),
    config(16, INTEGER, "apacheConfigConnectionTimeout"),
    config(17, INTEGER, "apacheConfigKeepAliveTimeout"),
    config(18, STRING, "apacheConfigServerRoot"),
    config(19, STRING, "apacheConfigConfigFile"),
    config(20, STRING, "apacheConfigPIDFile"),
    config(21, STRING, "apacheConfigScoreboardFile"),
    config(22, STRING, "apacheConfigDocumentRoot"),
    config(23, STRING, "apacheConfigAccessLog"),
    config(24, STRING, "apacheConfigErrorLog"),
    config(25, STRING, "apacheConfigScriptLog"),

    footprint(1, "apacheFootprintPort"),
    footprint(2, "apacheFootprintCPUTime"),
    footprint(3, "apacheFootprintPercentCPU"),
    footprint(4, "apacheFootprintTotalMEMSize"),
    footprint(5, "apacheFootprintTotalRSS"),
    footprint(6, "apacheFootprintPercentMEM"),
    footprint(7, "apacheFootprintNumThreads"),
    footprint(8, "apacheFootprintInBlks"),
    footprint(9, "apacheFootprintOutBlks"),
    footprint(10, "apacheFootprintMsgsSent"),
    footprint(11, "apacheFootprintMsgsRecv"),
    footprint(12, "apacheFootprintSysCalls"),
    footprint(13, "apacheFootprintMinorPgFlts"),
    footprint(14, "apacheFootprintMajorPgFlts"),
    footprint(15, "apacheFootprintNumSwaps"),
    footprint(16, "apacheFootprintVolCtx"),
    footprint(17, "apacheFootprintInvolCtx"),
    footprint(18, "apacheFootprintTotalLogSize"),
    footprint(19, "apacheFootprintDocSize"),
    footprint(20, "apacheFootprintTotalDiskSize"),

    perf(1, COUNTER, "apacheServerPerfPort"),
    perf(2, COUNTER, "apacheServerPerfUptime"),
    perf(3, COUNTER, "apacheServerPerfTotalAccesses"),
    perf(4, COUNTER, "apacheServerPerfTotalTraffic"),
    perf(5, GAUGE, "apacheServerPerfCurrentUsers"),
    perf(6, GAUGE, "apacheServerPerfCurrentIdleProcs"),
    perf(7, GAUGE, "apacheServerPerfCurrentStartupProcs"),
    perf(8, GAUGE, "apacheServerPerfCurrentReadProcs"),
    perf(9, GAUGE, "apacheServerPerfCurrentReplyProcs"),
    perf(10, GAUGE, "apacheServerPerfCurrentKeepAliveProcs"),
    perf(11, GAUGE, "apacheServerPerfCurrentDNSProcs"),
    perf(12, GAUGE, "apacheServerPerfCurrentLoggingProcs"),
    perf(13, GAUGE, "apacheServerPerfCurrentFinishingProcs"),
    perf(14, GAUGE, "apacheServerPerfCurrentTotalProcs"),
    perf(15, GAUGE, "apacheServerPerfCurrentBusyProcs"),
};
