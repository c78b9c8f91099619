// A small monitoring module for the daemon's integration tests, independent
// of ostrik's real tables. Subtree 1.3.6.1.4.1.32473.99:
//   .1.0   testTitle     OCTET STRING  "varnock test module"
//   .2.0   testTicks     Counter32     number of callback calls so far
//   .3.1.1.row testPort   INTEGER       the row (80, 443)
//   .3.1.2.row testSilent Gauge32       never answered
//   .3.1.3.row testLoad   Gauge32       7 for row 80, 4000000000 for row 443
//   .3.1.4.row testBytes  Counter64     5 for row 80, 2^64-1 for row 443
//   .4.0   testNegative  INTEGER       -5
//   .5.1.1.row testTickRow Counter32   the callback count, rows 1 to the
//                                      number in "<agent dir>/rows" (none
//                                      without that file)
// It records what the daemon does to it in "<agent dir>/test_module.log"
// ("init <agent path>", "finish", and "overlong <length>" when a handler is
// handed a request longer than a descriptor's OID, "called after refusal"
// when a handler runs although init refused), and refuses to start when
// "<agent dir>/refuse" exists: at once, or after registering its variables
// when that file reads "late". "<agent dir>/subtree", when it exists, holds
// the arcs (dotted) of the subtree that branch reports instead; a handler
// that runs after finish records "called after finish". init takes as many
// milliseconds as "<agent dir>/slow" says.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "varnock.h"

namespace {

constexpr uint32_t kPlaceholder = 0xFFFFFFFFu;
constexpr int32_t kRows[] = {80, 443};

std::string g_directory;
bool g_refused = false;
bool g_finished = false;
uint32_t g_tick_rows = 0;
uint32_t g_ticks = 0;
int32_t g_value_int = 0;
uint64_t g_value_counter64 = 0;
char g_value_text[64];

void record(const std::string &line) {
  FILE *log = fopen((g_directory + "test_module.log").c_str(), "a");
  if (log == nullptr)
    return;
  fprintf(log, "%s\n", line.c_str());
  fclose(log);
}

bool overlong(const int32_t *oidLength) {
  if (g_refused)
    record("called after refusal");
  if (g_finished)
    record("called after finish");
  if (*oidLength <= VARNOCK_MAX_OID_LEN)
    return false;
  record("overlong " + std::to_string(*oidLength));
  return true;
}

unsigned char *answer_int(int32_t value, int32_t *valueLength) {
  g_value_int = value;
  *valueLength = 4;
  return reinterpret_cast<unsigned char *>(&g_value_int);
}

unsigned char *var_scalar(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                          int32_t *valueLength, void **writeMethod) {
  if (overlong(oidLength))
    return nullptr;
  if (exact && VarnockCompare(oid, *oidLength, var->oid, var->oidLength) != 0)
    return nullptr;
  memcpy(oid, var->oid, var->oidLength * sizeof(uint32_t));
  *oidLength = var->oidLength;
  *writeMethod = nullptr;
  switch (var->magic) {
  case 1:
    snprintf(g_value_text, sizeof g_value_text, "varnock test module");
    *valueLength = static_cast<int32_t>(strlen(g_value_text));
    return reinterpret_cast<unsigned char *>(g_value_text);
  case 2:
    return answer_int(static_cast<int32_t>(g_ticks), valueLength);
  case 4:
    return answer_int(-5, valueLength);
  default:
    return nullptr;
  }
}

// Rows by index: the request's last arc when it names an instance of this
// column, else the first row.
unsigned char *var_table(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                         int32_t *valueLength, void **writeMethod) {
  if (overlong(oidLength))
    return nullptr;
  const int32_t length = var->oidLength;
  int32_t index = 0;
  if (*oidLength == length && (exact || oid[length - 2] == var->oid[length - 2]))
    index = static_cast<int32_t>(oid[length - 1]);
  int32_t row = -1;
  for (int32_t candidate : kRows) {
    if (exact ? candidate == index : candidate > index) {
      row = candidate;
      break;
    }
  }
  if (row < 0)
    return nullptr;
  memcpy(oid, var->oid, length * sizeof(uint32_t));
  oid[length - 1] = static_cast<uint32_t>(row);
  *oidLength = length;
  *writeMethod = nullptr;
  switch (var->magic) {
  case 1:
    return answer_int(row, valueLength);
  case 3:
    return answer_int(row == 443 ? static_cast<int32_t>(4000000000u) : 7, valueLength);
  case 4:
    g_value_counter64 = row == 443 ? UINT64_MAX : 5;
    *valueLength = sizeof g_value_counter64;
    return reinterpret_cast<unsigned char *>(&g_value_counter64);
  default:
    return nullptr; // column 2 is never answered
  }
}

// The tick table: row index in 1..g_tick_rows.
unsigned char *var_tick_rows(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                             int32_t *valueLength, void **writeMethod) {
  if (overlong(oidLength))
    return nullptr;
  const int32_t length = var->oidLength;
  const int order = VarnockCompare(oid, std::min(*oidLength, length - 1), var->oid, length - 1);
  uint32_t row = 0;
  if (exact)
    row = *oidLength == length && order == 0 ? oid[length - 1] : 0;
  else if (order < 0)
    row = 1;
  else if (order == 0)
    row = *oidLength >= length ? oid[length - 1] + 1 : 1;
  if (row < 1 || row > g_tick_rows)
    return nullptr;
  memcpy(oid, var->oid, length * sizeof(uint32_t));
  oid[length - 1] = row;
  *oidLength = length;
  *writeMethod = nullptr;
  return answer_int(static_cast<int32_t>(g_ticks), valueLength);
}

MibVariable make(std::initializer_list<uint32_t> arcs, uint8_t type, uint8_t magic,
                 VariableHandler handler, const char *name) {
  MibVariable var;
  memset(&var, 0, sizeof var);
  const uint32_t base[] = {1, 3, 6, 1, 4, 1, 32473, 99};
  int32_t n = 0;
  for (uint32_t arc : base)
    var.oid[n++] = arc;
  for (uint32_t arc : arcs)
    var.oid[n++] = arc;
  var.oidLength = static_cast<uint8_t>(n);
  var.access = 1;
  var.type = type;
  var.magic = magic;
  var.reserved = 0x0000AAAA;
  var.handler = handler;
  snprintf(var.name, sizeof var.name, "%s", name);
  return var;
}

MibVariable g_variables[] = {
    make({1, 0}, VARNOCK_TYPE_OCTET_STRING, 1, var_scalar, "testTitle"),
    make({2, 0}, VARNOCK_TYPE_COUNTER32, 2, var_scalar, "testTicks"),
    make({3, 1, 1, kPlaceholder}, VARNOCK_TYPE_INTEGER, 1, var_table, "testPort"),
    make({3, 1, 2, kPlaceholder}, VARNOCK_TYPE_GAUGE32, 2, var_table, "testSilent"),
    make({3, 1, 3, kPlaceholder}, VARNOCK_TYPE_GAUGE32, 3, var_table, "testLoad"),
    make({3, 1, 4, kPlaceholder}, VARNOCK_TYPE_COUNTER64, 4, var_table, "testBytes"),
    make({4, 0}, VARNOCK_TYPE_INTEGER, 4, var_scalar, "testNegative"),
    make({5, 1, 1, kPlaceholder}, VARNOCK_TYPE_COUNTER32, 1, var_tick_rows, "testTickRow"),
};

} // namespace

extern "C" {

OSTRIK_EXPORT int32_t init(InitBlock *block) {
  const char *path = block->agentPath;
  const char *slash = strrchr(path, '/');
  g_directory.assign(path, slash != nullptr ? static_cast<size_t>(slash - path + 1) : 0);
  record(std::string("init ") + path);
  const std::string refuse = g_directory + "refuse";
  const bool late = [&] {
    FILE *file = fopen(refuse.c_str(), "r");
    char text[8] = {};
    if (file == nullptr)
      return false;
    const bool isLate = fgets(text, sizeof text, file) != nullptr && strcmp(text, "late") == 0;
    fclose(file);
    return isLate;
  }();
  if (access(refuse.c_str(), F_OK) == 0 && !late)
    return -1;
  snprintf(block->moduleName, sizeof block->moduleName, "testmod");
  for (MibVariable &var : g_variables)
    VarnockInsertIntoVariableList(&var);
  g_refused = late;
  g_finished = false;
  if (FILE *file = fopen((g_directory + "slow").c_str(), "r")) {
    unsigned ms = 0;
    if (fscanf(file, "%u", &ms) == 1)
      usleep(ms * 1000);
    fclose(file);
  }
  if (FILE *file = fopen((g_directory + "rows").c_str(), "r")) {
    if (fscanf(file, "%u", &g_tick_rows) != 1)
      g_tick_rows = 0;
    fclose(file);
  }
  return late ? -1 : 1;
}

OSTRIK_EXPORT int32_t monitorInit(void) { return 0; }

OSTRIK_EXPORT int32_t branch(uint32_t *oid, int32_t *oidLength) {
  const uint32_t subtree[] = {1, 3, 6, 1, 4, 1, 32473, 99};
  memcpy(oid, subtree, sizeof subtree);
  *oidLength = 8;
  if (FILE *file = fopen((g_directory + "subtree").c_str(), "r")) {
    unsigned arc = 0;
    for (*oidLength = 0; *oidLength < VARNOCK_MAX_OID_LEN && fscanf(file, ".%u", &arc) == 1;)
      oid[(*oidLength)++] = arc;
    fclose(file);
  }
  return 1;
}

OSTRIK_EXPORT int32_t modinfo(char *buffer, int32_t length) {
  snprintf(buffer, static_cast<size_t>(length), "varnock test module");
  return 1;
}

OSTRIK_EXPORT int32_t callback(void) {
  ++g_ticks;
  return 0;
}

OSTRIK_EXPORT int32_t finish(void) {
  record("finish");
  g_finished = true;
  return 0;
}

} // extern "C"
