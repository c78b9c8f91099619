// What the agent library offers to the programs that host modules (the
// daemon, and the Windows walk tool): the registered variables, the walk that
// picks the variable whose handler answers a request, and log settings.
#pragma once

#include "varnock.h"

#ifdef __cplusplus
extern "C" {
#endif

// Longest OID an SNMP request may carry.
enum { VARNOCK_HOST_MAX_OID = VARNOCK_LONG_INDEX_MAX_OID };

// One answer, copied out of the module's answer storage at once.
typedef struct VarnockAnswer {
  uint32_t oid[VARNOCK_HOST_MAX_OID];
  int32_t oidLength;
  uint8_t type;        // the descriptor's VARNOCK_TYPE_*
  int32_t valueLength; // bytes in value
  unsigned char value[1024];
  const MibVariable *variable; // the descriptor that answered
} VarnockAnswer;

// Variables registered so far, in registration order.
VARNOCK_API size_t VarnockHostVariableCount(void);
VARNOCK_API MibVariable *VarnockHostVariableAt(size_t index);
// Forget every registered variable.
VARNOCK_API void VarnockHostClearVariables(void);
// Forget the variables registered at position first and after, keeping the
// earlier ones: those of a module that registered some and then went unused
// (the host notes VarnockHostVariableCount() before starting it).
VARNOCK_API void VarnockHostForgetVariablesFrom(size_t first);
// Forget count variables from position first on; those after move up.
VARNOCK_API void VarnockHostForgetVariables(size_t first, size_t count);

// Exact get. Returns 1 with the answer filled, 0 when no variable answers
// that instance (noSuchObject / noSuchInstance).
VARNOCK_API int VarnockHostGet(const uint32_t *oid, int32_t oidLength, VarnockAnswer *answer);
// Get-next: the first instance after oid, in ascending OID order across all
// registered variables. Returns 1 with the answer filled, 0 at the end.
VARNOCK_API int VarnockHostGetNext(const uint32_t *oid, int32_t oidLength, VarnockAnswer *answer);

// Log lines of a level above maxLevel are dropped (default
// VARNOCK_LOG_WARNING: errors and warnings; VARNOCK_LOG_DEBUG shows debug
// traces).
VARNOCK_API void VarnockHostSetLogLevel(int32_t maxLevel);

// Where finished log lines (each with its newline) go instead of the
// platform's log; null restores the platform's log. The sink is called on
// the thread that logs, so a host whose log is not thread-safe queues there.
typedef void (*VarnockLogSink)(int32_t level, const char *line);
VARNOCK_API void VarnockHostSetLogSink(VarnockLogSink sink);

// A module whose refresh waits on slow sources calls this, if the agent
// offers it, while it waits: news is non-zero when it has stored answers
// since its last call. The call goes to the host's hook (none: nothing
// happens), which may read the module's variables meanwhile, on the same
// thread: the module's handlers then answer what it has stored.
typedef void (*VarnockWaitingHook)(int32_t news);
VARNOCK_API void VarnockHostModuleWaiting(int32_t news);
// Sets the hook (null: none). Called before the modules start.
VARNOCK_API void VarnockHostSetWaitingHook(VarnockWaitingHook hook);
// Returns 1: this host reads descriptors whose access carries
// VARNOCK_ACCESS_LONG_INDEX. A module looks it up by name and, in an agent
// without it, registers no such descriptor.
VARNOCK_API int32_t VarnockHostLongIndex(void);
// Keeps a copy of length bytes under key, replacing what was kept there:
// a module hands it to its next start across a reload. 0, or -1 (nothing
// kept). Modules look both up at run time, since other agents lack them.
VARNOCK_API int32_t VarnockHostKeep(const char *key, const void *data, int32_t length);
// Copies what is kept under key into data and forgets it. Its length, or -1
// when nothing is kept there or it does not fit capacity (forgotten all the
// same). With data null: only the length of what is kept, which stays.
VARNOCK_API int32_t VarnockHostTake(const char *key, void *data, int32_t capacity);

#ifdef __cplusplus
} // extern "C"
#endif
