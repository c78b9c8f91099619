// var_ostrik: the handler of the two scalars, ostrikVersion (the module's
// title) and ostrikMode (always 1).
#include "module/ostrik.h"

unsigned char *var_ostrik(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                          int32_t *valueLength, void **writeMethod) {
  if (var == nullptr || oid == nullptr || oidLength == nullptr || valueLength == nullptr ||
      writeMethod == nullptr) {
    return nullptr;
  }
  // A get names exactly one instance; a request for anything else is not
  // ours and leaves every out-value as it was. A get-next is answered with
  // the scalar's own instance whatever was asked.
  if (exact != 0 && VarnockCompare(oid, *oidLength, var->oid, var->oidLength) != 0) {
    return nullptr;
  }
  for (int i = 0; i < var->oidLength; ++i) {
    oid[i] = var->oid[i];
  }
  *oidLength = var->oidLength;
  *writeMethod = nullptr;
  *valueLength = 4;

  switch (var->magic) {
  case 1: // ostrikVersion
    return string_value(OSTRIK_TITLE, valueLength);
  case 2: // ostrikMode
    value_int = 1;
    return reinterpret_cast<unsigned char *>(&value_int);
  default:
    return nullptr;
  }
}
