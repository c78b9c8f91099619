// The answer storage shared by every handler, and string_value, through which
// every text answer passes.
#include <stdio.h>
#include <string.h>

#include "module/ostrik.h"

int32_t value_int;
char value_text[1024];
uint64_t value_counter64;

unsigned char *string_value(const char *text, int32_t *valueLength) {
  // Sources are at most 511 characters; a longer one is cut to the buffer.
  snprintf(value_text, sizeof value_text, "%s", text != nullptr ? text : "");
  // An empty text or a single blank has nothing to show; two or more blanks
  // are answered as they are.
  if (value_text[0] == '\0' || strcmp(value_text, " ") == 0) {
    snprintf(value_text, sizeof value_text, "%s", "N/A");
  }
  if (valueLength != nullptr) {
    *valueLength = static_cast<int32_t>(strlen(value_text));
  }
  return reinterpret_cast<unsigned char *>(value_text);
}
