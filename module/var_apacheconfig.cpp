#include "module/ostrik.h"

// Placeholder until this table's collector lands: no row answers.
unsigned char *var_apacheconfig(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                                int32_t *valueLength, void **writeMethod) {
  (void)var;
  (void)oid;
  (void)oidLength;
  (void)exact;
  (void)valueLength;
  (void)writeMethod;
  return nullptr;
}
