#include "host/dump/dump_table.h"

#include <string.h>

#include <algorithm>

namespace varnock {

namespace {

// A walk moves forward at every step, so it ends; this bounds it all the same.
constexpr int kMaxAnswers = 1000000;

std::string type_name(uint8_t type) {
  switch (type) {
  case VARNOCK_TYPE_INTEGER:
    return "INTEGER";
  case VARNOCK_TYPE_COUNTER32:
    return "Counter32";
  case VARNOCK_TYPE_GAUGE32:
    return "Gauge32";
  case VARNOCK_TYPE_COUNTER64:
    return "Counter64";
  case VARNOCK_TYPE_OCTET_STRING:
    return "STRING";
  default: {
    char text[16];
    snprintf(text, sizeof text, "type 0x%02X", static_cast<unsigned>(type));
    return text;
  }
  }
}

// A text in double quotes, with the quote, the backslash and every byte
// that is not printable ASCII written as \-escapes, so that each row stays
// on one line.
std::string quoted(const unsigned char *value, int32_t length) {
  std::string text = "\"";
  for (int32_t i = 0; i < length; ++i) {
    const unsigned char c = value[i];
    if (c == '"' || c == '\\') {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
      text += escape;
    }
  }
  text += '"';
  return text;
}

std::string value_text(const VarnockAnswer &answer) {
  if (answer.type == VARNOCK_TYPE_OCTET_STRING)
    return quoted(answer.value, answer.valueLength);
  if (answer.type == VARNOCK_TYPE_COUNTER64 && answer.valueLength == 8) {
    uint64_t value;
    memcpy(&value, answer.value, sizeof value);
    return std::to_string(value);
  }
  if (answer.type == VARNOCK_TYPE_COUNTER64 || answer.valueLength != 4) {
    // Appended piece by piece: GCC 12 at -O3 misreports "literal" + string
    // as an overlapping copy (-Wrestrict).
    std::string text = "(";
    text += std::to_string(answer.valueLength);
    text += " bytes that do not fit the type)";
    return text;
  }
  uint32_t raw;
  memcpy(&raw, answer.value, sizeof raw);
  if (answer.type == VARNOCK_TYPE_INTEGER)
    return std::to_string(static_cast<int32_t>(raw));
  return std::to_string(raw);
}

} // namespace

DumpRow dump_row(const VarnockAnswer &answer) {
  const MibVariable *var = answer.variable;
  DumpRow row;
  row.name.assign(var->name, strnlen(var->name, sizeof var->name));
  // The descriptor's last arc holds the place of the instance.
  const int32_t prefix = var->oidLength - 1;
  for (int32_t i = prefix; i < answer.oidLength; ++i) {
    if (i > prefix)
      row.instance += '.';
    row.instance += std::to_string(answer.oid[i]);
  }
  row.type = type_name(answer.type);
  row.value = value_text(answer);
  return row;
}

std::vector<DumpRow> dump_all_variables() {
  std::vector<DumpRow> rows;
  VarnockAnswer answer;
  memset(&answer, 0, sizeof answer);
  std::vector<uint32_t> from;
  while (rows.size() < static_cast<size_t>(kMaxAnswers) &&
         VarnockHostGetNext(from.data(), static_cast<int32_t>(from.size()), &answer) == 1) {
    rows.push_back(dump_row(answer));
    from.assign(answer.oid, answer.oid + answer.oidLength);
  }
  return rows;
}

void print_dump(FILE *out, const std::vector<DumpRow> &rows) {
  size_t nameWidth = strlen("NAME");
  size_t instanceWidth = strlen("INSTANCE");
  size_t typeWidth = strlen("TYPE");
  for (const DumpRow &row : rows) {
    nameWidth = std::max(nameWidth, row.name.size());
    instanceWidth = std::max(instanceWidth, row.instance.size());
    typeWidth = std::max(typeWidth, row.type.size());
  }
  const auto line = [&](const std::string &name, const std::string &instance,
                        const std::string &type, const std::string &value) {
    fprintf(out, "%-*s  %-*s  %-*s  %s\n", static_cast<int>(nameWidth), name.c_str(),
            static_cast<int>(instanceWidth), instance.c_str(), static_cast<int>(typeWidth),
            type.c_str(), value.c_str());
  };
  line("NAME", "INSTANCE", "TYPE", "VALUE");
  for (const DumpRow &row : rows)
    line(row.name, row.instance, row.type, row.value);
  fflush(out);
}

} // namespace varnock
