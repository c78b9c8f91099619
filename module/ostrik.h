// The ostrik module: its exported entry points, its variable descriptors,
// the handlers that answer the agent, and the answer storage they share.
#pragma once

#include <stdint.h>

#include "varnock.h"

// The private enterprise number under which every variable lives
// (RFC 5612's documentation number): subtree 1.3.6.1.4.1.32473.16.3.
constexpr uint32_t OSTRIK_ENTERPRISE = 32473;

// The module's subtree, enterprises.E.16.3, as branch reports it.
constexpr uint32_t OSTRIK_SUBTREE[] = {1, 3, 6, 1, 4, 1, OSTRIK_ENTERPRISE, 16, 3};
constexpr int OSTRIK_SUBTREE_LENGTH = sizeof OSTRIK_SUBTREE / sizeof OSTRIK_SUBTREE[0];

// The module's title, as modinfo and ostrikVersion report it.
constexpr char OSTRIK_TITLE[] = "Apache Server Tessivar, Version 1.0 Patchlevel 5.1";

// The name init writes into the agent's InitBlock.
constexpr char OSTRIK_MODULE_NAME[] = "ostrik";

// The oldest agent version the module starts with (4.2pl2).
constexpr int32_t OSTRIK_MIN_AGENT_VERSION = 422;

// The configuration file's name, found in the agent's directory.
constexpr char OSTRIK_CONFIG_FILE[] = "ostrik.cf";

// Size of the module directory and configuration path fields, NUL included.
constexpr int OSTRIK_PATH_SIZE = 512;

// The last arc of a table descriptor's OID: it holds the place of the row
// index, which a handler replaces with the row's port in its answer.
constexpr uint32_t OSTRIK_INDEX_PLACEHOLDER = 0xFFFFFFFFu;

// The word every descriptor carries at offset 180.
constexpr uint32_t OSTRIK_DESCRIPTOR_WORD = 0x0000AAAAu;

// The descriptor table: two scalars, then the 25 configuration columns, the 20
// footprint columns and the 15 performance columns, in registration order.
constexpr int OSTRIK_SCALAR_COUNT = 2;
constexpr int OSTRIK_CONFIG_COLUMNS = 25;
constexpr int OSTRIK_FOOTPRINT_COLUMNS = 20;
constexpr int OSTRIK_PERF_COLUMNS = 15;
constexpr int OSTRIK_VARIABLE_COUNT =
    OSTRIK_SCALAR_COUNT + OSTRIK_CONFIG_COLUMNS + OSTRIK_FOOTPRINT_COLUMNS + OSTRIK_PERF_COLUMNS;
extern MibVariable ostrik_variables[OSTRIK_VARIABLE_COUNT];

// The variables beyond the original design, registered after those 62:
// the Apache 2.4 columns (enterprises.E.16.3.12.1.column.port), each
// server's collection health (…16.3.13.1.column.port), what its access logs
// say (…16.3.14.1.column.port) and the same per virtual host
// (…16.3.15.1.column.port.length.name, a long index), and the members of
// each server's proxy balancers (…16.3.16.1.column.port.length.balancer.
// length.member, a long index).
constexpr int OSTRIK_PERF_EXT_COLUMNS = 23;
constexpr int OSTRIK_HEALTH_COLUMNS = 9;
constexpr int OSTRIK_LOG_COLUMNS = 27;
constexpr int OSTRIK_VHOST_LOG_COLUMNS = 24;
// The last column of each log table: when its counters began.
constexpr int OSTRIK_LOG_SINCE_COLUMN = 27;
constexpr int OSTRIK_VHOST_LOG_SINCE_COLUMN = 24;
constexpr int OSTRIK_BALANCER_COLUMNS = 9;
// The first counter column of each log table (lines read); the counters
// follow in the order of LogCounters.
constexpr int OSTRIK_LOG_FIRST_COUNTER = 6;
constexpr int OSTRIK_VHOST_LOG_FIRST_COUNTER = 3;
// The certificate each HTTPS site serves (…16.3.17.1.column.port.length.name).
constexpr int OSTRIK_CERT_COLUMNS = 13;
constexpr int OSTRIK_EXT_VARIABLE_COUNT = OSTRIK_PERF_EXT_COLUMNS + OSTRIK_HEALTH_COLUMNS +
                                          OSTRIK_LOG_COLUMNS + OSTRIK_VHOST_LOG_COLUMNS +
                                          OSTRIK_BALANCER_COLUMNS + OSTRIK_CERT_COLUMNS;
extern MibVariable ostrik_ext_variables[OSTRIK_EXT_VARIABLE_COUNT];
constexpr int OSTRIK_REGISTERED_COUNT = OSTRIK_VARIABLE_COUNT + OSTRIK_EXT_VARIABLE_COUNT;

extern "C" {
OSTRIK_EXPORT int32_t init(InitBlock *block);
OSTRIK_EXPORT int32_t monitorInit(void);
OSTRIK_EXPORT int32_t branch(uint32_t *oid, int32_t *oidLength);
OSTRIK_EXPORT int32_t modinfo(char *buffer, int32_t length);
OSTRIK_EXPORT int32_t callback(void);
OSTRIK_EXPORT int32_t finish(void);
}

// Module state, process-wide: 1 once init has registered the table
// variables, for the life of the process.
extern int32_t tables_registered;
// The directory part of the agent's path (with its trailing separator), and
// the configuration file's path derived from it. Empty before init, and the
// configuration path stays empty when the agent's path is too long for it.
const char *module_directory(void);
const char *config_path(void);
// Tests only: back to the state of a freshly loaded module (nothing
// registered, both paths empty).
void module_reset_for_tests(void);

// Answer storage shared by every handler; valid until the next handler call.
extern int32_t value_int;
extern char value_text[1024];
// Counter64 answers (8 bytes, host byte order).
extern uint64_t value_counter64;

// Copies text into value_text ("N/A" for an empty text or a single blank),
// stores its length and returns value_text.
unsigned char *string_value(const char *text, int32_t *valueLength);

// The variable handlers.
unsigned char *var_ostrik(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                          int32_t *valueLength, void **writeMethod);
unsigned char *var_apacheconfig(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                int32_t *valueLength, void **writeMethod);
unsigned char *var_apacheperf(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                              int32_t *valueLength, void **writeMethod);
unsigned char *var_apachefootprint(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                   int32_t exact, int32_t *valueLength, void **writeMethod);
unsigned char *var_apacheperfext(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                 int32_t *valueLength, void **writeMethod);
unsigned char *var_apachehealth(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                int32_t *valueLength, void **writeMethod);
unsigned char *var_apachelog(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                             int32_t *valueLength, void **writeMethod);
unsigned char *var_apachevhostlog(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                  int32_t exact, int32_t *valueLength, void **writeMethod);
unsigned char *var_apachebalancer(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                  int32_t exact, int32_t *valueLength, void **writeMethod);
unsigned char *var_apachecert(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                              int32_t *valueLength, void **writeMethod);

// seconds since the epoch as an SNMP DateAndTime of 11 octets, in UTC
// (year clamped to 0..65535).
void date_and_time(int64_t seconds, unsigned char out[11]);
