// The Varnock host agent interface: the records that pass between the agent
// and a monitoring module, the six functions the agent offers to modules, and
// the entry points a module exports to the agent.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/export.h"

#ifdef __cplusplus
extern "C" {
#endif

// ASN.1 tags of the values a handler answers. A Counter64 value is 8 bytes,
// an unsigned 64-bit integer in the host's byte order; the 32-bit types are
// 4 bytes.
enum {
  VARNOCK_TYPE_INTEGER = 0x02,
  VARNOCK_TYPE_OCTET_STRING = 0x04,
  VARNOCK_TYPE_COUNTER32 = 0x41,
  VARNOCK_TYPE_GAUGE32 = 0x42,
  VARNOCK_TYPE_COUNTER64 = 0x46,
};

enum { VARNOCK_MAX_OID_LEN = 44 };

// MibVariable.access: 1 (read-only). A table whose index takes more than one
// arc (a string's length and bytes) adds VARNOCK_ACCESS_LONG_INDEX: the host
// then hands its handler the whole request, and takes as its instances OIDs
// of any length beyond the descriptor's last arc. The OID buffer it hands
// such a handler holds VARNOCK_LONG_INDEX_MAX_OID arcs.
enum { VARNOCK_ACCESS_READ_ONLY = 1, VARNOCK_ACCESS_LONG_INDEX = 0x80 };
enum { VARNOCK_LONG_INDEX_MAX_OID = 128 };

// The oldest agent version a module may rely on for this interface.
enum { VARNOCK_VERSION = 422 };

typedef struct MibVariable MibVariable;

// Reads one variable. oid/oidLength: in the request, out the instance
// answered. exact: non-zero for a get, 0 for a get-next. Returns a pointer to
// the value (valid until the module's next handler call) or null.
typedef unsigned char *(*VariableHandler)(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                          int32_t exact, int32_t *valueLength, void **writeMethod);

// One variable's descriptor. 256 bytes on a 32-bit build; on a 64-bit build
// the handler pointer takes 8 bytes at offset 184 and name starts at 192.
struct MibVariable {
  uint32_t oid[VARNOCK_MAX_OID_LEN]; // arcs; unused ones are 0
  uint8_t oidLength;                 // arcs used
  uint8_t access;                    // 1
  uint8_t type;                      // VARNOCK_TYPE_*
  uint8_t magic;                     // number in its group; column arc in tables
  uint32_t reserved;                 // 0x0000AAAA
  VariableHandler handler;
  char name[68];
};

// The block the agent hands to a module's init.
typedef struct InitBlock {
  char moduleName[10];  // written by the module
  char reserved[10];    // cleared by the module
  uint8_t flags;        // agent's; the module leaves it alone
  char agentPath[1003]; // NUL-terminated path of the agent executable
} InitBlock;

// One process of the agent's process snapshot, 336 bytes on every platform.
// Units: cpuTime centiseconds of user+system time; cpuTimeReal the same in
// milliseconds; rss and memSize KB; memBytes resident bytes (saturating);
// faults major page faults.
typedef struct ProcEntry {
  int32_t stamp;         // 0   snapshot stamp (deciseconds, monotonic)
  int32_t uid;           // 4   owner
  int32_t state;         // 8   state letter
  int32_t priority;      // 12
  uint32_t memBytes;     // 16  resident bytes, saturating at 2^32-1
  int32_t nice;          // 20
  int32_t session;       // 24
  int32_t threads;       // 28
  int32_t faults;        // 32  major page faults
  int32_t minorFaults;   // 36
  uint8_t reserved1[97]; // 40
  char name[131];        // 137 command name, NUL-terminated
  int32_t pid;           // 268
  int32_t ppid;          // 272
  int32_t cpuTime;       // 276 centiseconds
  double cpuTimeReal;    // 280 milliseconds
  double startTime;      // 288 seconds since boot
  int32_t tty;           // 296
  int32_t reserved2;     // 300
  uint32_t rss;          // 304 KB
  int32_t memSize;       // 308 KB
  uint8_t reserved3[8];  // 312
  double cpuShare;       // 320 written in a TopDelta
  double reserved4;      // 328 0.0 in a TopDelta
} ProcEntry;

// --- Log levels of VarnockSyslog: syslog's values and meanings -------------

enum {
  VARNOCK_LOG_ERR = 3,     // an error: something did not get done
  VARNOCK_LOG_WARNING = 4, // a warning: done, but not as asked
  VARNOCK_LOG_NOTICE = 5,  // normal, but worth noting
  VARNOCK_LOG_INFO = 6,    // informational
  VARNOCK_LOG_DEBUG = 7,   // a trace for debugging
};

// --- The six functions the agent offers to modules -----------------------

VARNOCK_API int32_t VarnockGetVarnockVersion(void);
VARNOCK_API int32_t VarnockInsertIntoVariableList(MibVariable *var);
VARNOCK_API int32_t VarnockCompare(const uint32_t *a, int32_t aLength, const uint32_t *b,
                                   int32_t bLength);
VARNOCK_API ProcEntry *VarnockGetProcCache(int32_t *count, int32_t *stamp);
VARNOCK_API int32_t VarnockGetNcpuOnline(void);
VARNOCK_API void VarnockSyslog(int32_t level, const char *format, ...) PLATFORM_PRINTF_FORMAT(2, 3);

// --- The entry points a module exports -----------------------------------

typedef int32_t (*ModuleInitFn)(InitBlock *block);
typedef int32_t (*ModuleMonitorInitFn)(void);
typedef int32_t (*ModuleBranchFn)(uint32_t *oid, int32_t *oidLength);
typedef int32_t (*ModuleModinfoFn)(char *buffer, int32_t length);
typedef int32_t (*ModuleCallbackFn)(void);
typedef int32_t (*ModuleFinishFn)(void);

#ifdef __cplusplus
} // extern "C"

static_assert(sizeof(ProcEntry) == 336, "ProcEntry is 336 bytes");
static_assert(offsetof(ProcEntry, memBytes) == 16);
static_assert(offsetof(ProcEntry, threads) == 28);
static_assert(offsetof(ProcEntry, faults) == 32);
static_assert(offsetof(ProcEntry, name) == 137);
static_assert(offsetof(ProcEntry, pid) == 268);
static_assert(offsetof(ProcEntry, ppid) == 272);
static_assert(offsetof(ProcEntry, cpuTime) == 276);
static_assert(offsetof(ProcEntry, cpuTimeReal) == 280);
static_assert(offsetof(ProcEntry, rss) == 304);
static_assert(offsetof(ProcEntry, memSize) == 308);
static_assert(offsetof(ProcEntry, cpuShare) == 320);
static_assert(offsetof(ProcEntry, reserved4) == 328);

static_assert(offsetof(MibVariable, oid) == 0);
static_assert(offsetof(MibVariable, oidLength) == 176);
static_assert(offsetof(MibVariable, access) == 177);
static_assert(offsetof(MibVariable, type) == 178);
static_assert(offsetof(MibVariable, magic) == 179);
static_assert(offsetof(MibVariable, reserved) == 180);
static_assert(offsetof(MibVariable, handler) == 184);
static_assert(offsetof(MibVariable, name) == 184 + sizeof(void *));
static_assert(sizeof(MibVariable) == (sizeof(void *) == 4 ? 256 : 264));

static_assert(offsetof(InitBlock, reserved) == 10);
static_assert(offsetof(InitBlock, flags) == 20);
static_assert(offsetof(InitBlock, agentPath) == 21);
static_assert(sizeof(InitBlock) == 1024);
#endif
