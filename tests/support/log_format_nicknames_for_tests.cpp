// Two of Apache's well-known format nicknames, for the tests of the log
// sources until the format parser is built alongside them.
#include <cstring>

#include "collect/log_format.h"

const char *log_format_nickname(const char *name) {
  if (std::strcmp(name, "common") == 0) {
    return "%h %l %u %t \\\"%r\\\" %>s %b";
  }
  if (std::strcmp(name, "combined") == 0) {
    return "%h %l %u %t \\\"%r\\\" %>s %b \\\"%{Referer}i\\\" \\\"%{User-agent}i\\\"";
  }
  return nullptr;
}
