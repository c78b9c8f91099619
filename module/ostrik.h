// The ostrik module: its exported entry points, its variable descriptors,
// the handlers that answer the agent, and the answer storage they share.
#pragma once

#include <stdint.h>

#include "varnock.h"

// The private enterprise number under which every variable lives
// (RFC 5612's documentation number): subtree 1.3.6.1.4.1.32473.16.3.
constexpr uint32_t OSTRIK_ENTERPRISE = 32473;

extern "C" {
OSTRIK_EXPORT int32_t init(InitBlock *block);
OSTRIK_EXPORT int32_t monitorInit(void);
OSTRIK_EXPORT int32_t branch(uint32_t *oid, int32_t *oidLength);
OSTRIK_EXPORT int32_t modinfo(char *buffer, int32_t length);
OSTRIK_EXPORT int32_t callback(void);
OSTRIK_EXPORT int32_t finish(void);
}

// Answer storage shared by every handler; valid until the next handler call.
extern int32_t value_int;
extern char value_text[1024];

// Copies text into value_text ("N/A" for an empty text or a single blank),
// stores its length and returns value_text.
unsigned char *string_value(const char *text, int32_t *valueLength);

// The four variable handlers.
unsigned char *var_ostrik(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                          int32_t *valueLength, void **writeMethod);
unsigned char *var_apacheconfig(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                int32_t *valueLength, void **writeMethod);
unsigned char *var_apacheperf(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                              int32_t *valueLength, void **writeMethod);
unsigned char *var_apachefootprint(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                   int32_t exact, int32_t *valueLength, void **writeMethod);
