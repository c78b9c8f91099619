// The descriptor tables: one MibVariable for each of the module's 62
// original variables, in the order init registers them, and the variables
// added since, registered after them. The tables are built at compile time
// and never changed, so every descriptor handed to the agent stays valid and
// unchanged while the module is loaded.
#include "module/ostrik.h"

#include "config/server_entry.h"

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
constexpr TableArcs PERF_EXT_TABLE = {{12, 1, 0}, 2};
constexpr TableArcs HEALTH_TABLE = {{13, 1, 0}, 2};
constexpr TableArcs LOG_TABLE = {{14, 1, 0}, 2};
constexpr TableArcs VHOST_LOG_TABLE = {{15, 1, 0}, 2};
constexpr TableArcs BALANCER_TABLE = {{16, 1, 0}, 2};
constexpr TableArcs CERT_TABLE = {{17, 1, 0}, 2};

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

template <size_t N>
constexpr MibVariable perf_ext(uint8_t magic, uint8_t type, const char (&name)[N]) {
  return column(PERF_EXT_TABLE, var_apacheperfext, magic, type, name);
}
template <size_t N>
constexpr MibVariable health(uint8_t magic, uint8_t type, const char (&name)[N]) {
  return column(HEALTH_TABLE, var_apachehealth, magic, type, name);
}
template <size_t N>
constexpr MibVariable log_column(uint8_t magic, uint8_t type, const char (&name)[N]) {
  return column(LOG_TABLE, var_apachelog, magic, type, name);
}
// The per-host table's index is the port and the host name (its length and
// bytes): instances are longer than the descriptor.
template <size_t N>
constexpr MibVariable vhost_column(uint8_t magic, uint8_t type, const char (&name)[N]) {
  MibVariable v = column(VHOST_LOG_TABLE, var_apachevhostlog, magic, type, name);
  v.access = VARNOCK_ACCESS_READ_ONLY | VARNOCK_ACCESS_LONG_INDEX;
  return v;
}
// The balancer member table's index is the port, the balancer's name and
// the member's URL (each its length and bytes).
template <size_t N>
constexpr MibVariable balancer_column(uint8_t magic, uint8_t type, const char (&name)[N]) {
  MibVariable v = column(BALANCER_TABLE, var_apachebalancer, magic, type, name);
  v.access = VARNOCK_ACCESS_READ_ONLY | VARNOCK_ACCESS_LONG_INDEX;
  return v;
}

// The certificate table's index is the port and the name sent as SNI.
template <size_t N>
constexpr MibVariable cert_column(uint8_t magic, uint8_t type, const char (&name)[N]) {
  MibVariable v = column(CERT_TABLE, var_apachecert, magic, type, name);
  v.access = VARNOCK_ACCESS_READ_ONLY | VARNOCK_ACCESS_LONG_INDEX;
  return v;
}

constexpr uint8_t INTEGER = VARNOCK_TYPE_INTEGER;
constexpr uint8_t STRING = VARNOCK_TYPE_OCTET_STRING;
constexpr uint8_t COUNTER = VARNOCK_TYPE_COUNTER32;
constexpr uint8_t GAUGE = VARNOCK_TYPE_GAUGE32;
constexpr uint8_t COUNTER64 = VARNOCK_TYPE_COUNTER64;

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

// Columns 3 to 23 of the extended performance table answer the StatusExtra
// slots 0 to 20 in order (var_apacheperfext relies on it).
static_assert(EXTRA_COUNT == OSTRIK_PERF_EXT_COLUMNS - 2);

constinit MibVariable ostrik_ext_variables[] = {
    perf_ext(1, INTEGER, "apacheServerPerfExtPort"),
    perf_ext(2, STRING, "apacheServerPerfExtMPM"),
    perf_ext(3, COUNTER64, "apacheServerPerfExtTotalAccesses"),
    perf_ext(4, COUNTER64, "apacheServerPerfExtTotalTraffic"),
    perf_ext(5, COUNTER64, "apacheServerPerfExtTotalDuration"),
    perf_ext(6, GAUGE, "apacheServerPerfExtCPULoad"),
    perf_ext(7, GAUGE, "apacheServerPerfExtLoad1"),
    perf_ext(8, GAUGE, "apacheServerPerfExtLoad5"),
    perf_ext(9, GAUGE, "apacheServerPerfExtLoad15"),
    perf_ext(10, GAUGE, "apacheServerPerfExtProcesses"),
    perf_ext(11, GAUGE, "apacheServerPerfExtStoppingProcs"),
    perf_ext(12, GAUGE, "apacheServerPerfExtGracefulWorkers"),
    perf_ext(13, GAUGE, "apacheServerPerfExtConnsTotal"),
    perf_ext(14, GAUGE, "apacheServerPerfExtConnsAsyncWriting"),
    perf_ext(15, GAUGE, "apacheServerPerfExtConnsAsyncKeepAlive"),
    perf_ext(16, GAUGE, "apacheServerPerfExtConnsAsyncClosing"),
    perf_ext(17, GAUGE, "apacheServerPerfExtConnsAsyncWaitIO"),
    perf_ext(18, GAUGE, "apacheServerPerfExtIdleCleanupSlots"),
    perf_ext(19, GAUGE, "apacheServerPerfExtClosingSlots"),
    perf_ext(20, GAUGE, "apacheServerPerfExtOpenSlots"),
    perf_ext(21, GAUGE, "apacheServerPerfExtScoreboardSize"),
    perf_ext(22, INTEGER, "apacheServerPerfExtConfigGeneration"),
    perf_ext(23, INTEGER, "apacheServerPerfExtMPMGeneration"),

    health(1, INTEGER, "apacheServerHealthPort"),
    health(2, GAUGE, "apacheServerHealthStatusAge"),
    health(3, INTEGER, "apacheServerHealthStatusOutcome"),
    health(4, INTEGER, "apacheServerHealthStatusHttpCode"),
    health(5, GAUGE, "apacheServerHealthStatusFailures"),
    health(6, GAUGE, "apacheServerHealthInfoAge"),
    health(7, INTEGER, "apacheServerHealthInfoOutcome"),
    health(8, INTEGER, "apacheServerHealthInfoHttpCode"),
    health(9, GAUGE, "apacheServerHealthInfoFailures"),

    log_column(1, INTEGER, "apacheLogPort"),
    log_column(2, GAUGE, "apacheLogFiles"),
    log_column(3, GAUGE, "apacheLogFilesUnreadable"),
    log_column(4, STRING, "apacheLogState"),
    log_column(5, GAUGE, "apacheLogBacklog"),
    log_column(6, COUNTER64, "apacheLogLines"),
    log_column(7, COUNTER64, "apacheLogLinesUnparsed"),
    log_column(8, COUNTER64, "apacheLogRequests1xx"),
    log_column(9, COUNTER64, "apacheLogRequests2xx"),
    log_column(10, COUNTER64, "apacheLogRequests3xx"),
    log_column(11, COUNTER64, "apacheLogRequests4xx"),
    log_column(12, COUNTER64, "apacheLogRequests5xx"),
    log_column(13, COUNTER64, "apacheLogBytesSent"),
    log_column(14, COUNTER64, "apacheLogTimedRequests"),
    log_column(15, COUNTER64, "apacheLogTimeSum"),
    log_column(16, COUNTER64, "apacheLogTimeLe5ms"),
    log_column(17, COUNTER64, "apacheLogTimeLe10ms"),
    log_column(18, COUNTER64, "apacheLogTimeLe25ms"),
    log_column(19, COUNTER64, "apacheLogTimeLe50ms"),
    log_column(20, COUNTER64, "apacheLogTimeLe100ms"),
    log_column(21, COUNTER64, "apacheLogTimeLe250ms"),
    log_column(22, COUNTER64, "apacheLogTimeLe500ms"),
    log_column(23, COUNTER64, "apacheLogTimeLe1s"),
    log_column(24, COUNTER64, "apacheLogTimeLe2500ms"),
    log_column(25, COUNTER64, "apacheLogTimeLe5s"),
    log_column(26, COUNTER64, "apacheLogTimeLe10s"),
    log_column(27, STRING, "apacheLogCountersSince"),

    vhost_column(1, INTEGER, "apacheVhostLogPort"),
    vhost_column(2, STRING, "apacheVhostLogName"),
    vhost_column(3, COUNTER64, "apacheVhostLogLines"),
    vhost_column(4, COUNTER64, "apacheVhostLogLinesUnparsed"),
    vhost_column(5, COUNTER64, "apacheVhostLogRequests1xx"),
    vhost_column(6, COUNTER64, "apacheVhostLogRequests2xx"),
    vhost_column(7, COUNTER64, "apacheVhostLogRequests3xx"),
    vhost_column(8, COUNTER64, "apacheVhostLogRequests4xx"),
    vhost_column(9, COUNTER64, "apacheVhostLogRequests5xx"),
    vhost_column(10, COUNTER64, "apacheVhostLogBytesSent"),
    vhost_column(11, COUNTER64, "apacheVhostLogTimedRequests"),
    vhost_column(12, COUNTER64, "apacheVhostLogTimeSum"),
    vhost_column(13, COUNTER64, "apacheVhostLogTimeLe5ms"),
    vhost_column(14, COUNTER64, "apacheVhostLogTimeLe10ms"),
    vhost_column(15, COUNTER64, "apacheVhostLogTimeLe25ms"),
    vhost_column(16, COUNTER64, "apacheVhostLogTimeLe50ms"),
    vhost_column(17, COUNTER64, "apacheVhostLogTimeLe100ms"),
    vhost_column(18, COUNTER64, "apacheVhostLogTimeLe250ms"),
    vhost_column(19, COUNTER64, "apacheVhostLogTimeLe500ms"),
    vhost_column(20, COUNTER64, "apacheVhostLogTimeLe1s"),
    vhost_column(21, COUNTER64, "apacheVhostLogTimeLe2500ms"),
    vhost_column(22, COUNTER64, "apacheVhostLogTimeLe5s"),
    vhost_column(23, COUNTER64, "apacheVhostLogTimeLe10s"),
    vhost_column(24, STRING, "apacheVhostLogCountersSince"),

    balancer_column(1, INTEGER, "apacheBalancerMemberPort"),
    balancer_column(2, STRING, "apacheBalancerMemberBalancer"),
    balancer_column(3, STRING, "apacheBalancerMemberName"),
    balancer_column(4, INTEGER, "apacheBalancerMemberState"),
    balancer_column(5, STRING, "apacheBalancerMemberFlags"),
    balancer_column(6, COUNTER64, "apacheBalancerMemberElected"),
    balancer_column(7, GAUGE, "apacheBalancerMemberBusy"),
    balancer_column(8, COUNTER64, "apacheBalancerMemberSent"),
    balancer_column(9, COUNTER64, "apacheBalancerMemberReceived"),

    cert_column(1, INTEGER, "apacheCertPort"),
    cert_column(2, STRING, "apacheCertName"),
    cert_column(3, INTEGER, "apacheCertServerPort"),
    cert_column(4, INTEGER, "apacheCertOutcome"),
    cert_column(5, GAUGE, "apacheCertAge"),
    cert_column(6, STRING, "apacheCertSubject"),
    cert_column(7, STRING, "apacheCertIssuer"),
    cert_column(8, STRING, "apacheCertNotBefore"),
    cert_column(9, STRING, "apacheCertNotAfter"),
    cert_column(10, INTEGER, "apacheCertSecondsLeft"),
    cert_column(11, INTEGER, "apacheCertChainVerified"),
    cert_column(12, INTEGER, "apacheCertNameMatch"),
    cert_column(13, STRING, "apacheCertProblem"),
};
