// `varnockd --dump`: run the modules' refreshes once, print every variable,
// and say which monitored servers did not answer.
#include "host/varnockd/dump.h"

#include <string.h>

#include <algorithm>
#include <map>

#include "varnock_host.h"

namespace varnockd {

namespace {

// A walk moves forward at every step, so it ends; this bounds it all the same.
constexpr int kMaxAnswers = 1000000;

// The ostrik module's name (as init writes it) and the columns its verdict
// on a server reads.
constexpr char kOstrikModule[] = "ostrik";
constexpr char kPortColumn[] = "apacheConfigPort";
constexpr char kVersionColumn[] = "apacheConfigVersion";
constexpr char kBusyColumn[] = "apacheServerPerfCurrentUsers";
constexpr char kNoText[] = "\"N/A\"";

std::string type_name(uint8_t type) {
  switch (type) {
  case VARNOCK_TYPE_INTEGER:
    return "INTEGER";
  case VARNOCK_TYPE_COUNTER32:
    return "Counter32";
  case VARNOCK_TYPE_GAUGE32:
    return "Gauge32";
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
  return text + "\"";
}

std::string value_text(const VarnockAnswer &answer) {
  if (answer.type == VARNOCK_TYPE_OCTET_STRING)
    return quoted(answer.value, answer.valueLength);
  if (answer.valueLength != 4)
    return "(" + std::to_string(answer.valueLength) + " bytes that do not fit the type)";
  uint32_t raw;
  memcpy(&raw, answer.value, sizeof raw);
  if (answer.type == VARNOCK_TYPE_INTEGER)
    return std::to_string(static_cast<int32_t>(raw));
  return std::to_string(raw);
}

DumpRow row_of(const VarnockAnswer &answer) {
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

// name -> instance -> value.
std::map<std::string, std::map<std::string, std::string>>
by_name(const std::vector<DumpRow> &rows) {
  std::map<std::string, std::map<std::string, std::string>> table;
  for (const DumpRow &row : rows)
    table[row.name][row.instance] = row.value;
  return table;
}

bool runs_ostrik(const std::vector<Module> &modules) {
  return std::any_of(modules.begin(), modules.end(), [](const Module &module) {
    return module.started && module.name == kOstrikModule;
  });
}

} // namespace

std::vector<DumpRow> collect_dump(std::vector<Module> &modules) {
  for (Module &module : modules) {
    if (module.started)
      module.callback();
  }
  std::vector<DumpRow> rows;
  VarnockAnswer answer;
  memset(&answer, 0, sizeof answer);
  std::vector<uint32_t> from;
  while (rows.size() < static_cast<size_t>(kMaxAnswers) &&
         VarnockHostGetNext(from.data(), static_cast<int32_t>(from.size()), &answer) == 1) {
    rows.push_back(row_of(answer));
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

std::vector<std::string> dumped_servers(const std::vector<DumpRow> &rows) {
  std::vector<std::string> ports;
  for (const DumpRow &row : rows) {
    if (row.name == kPortColumn)
      ports.push_back(row.instance);
  }
  return ports;
}

std::vector<std::string> servers_not_answering(const std::vector<DumpRow> &rows) {
  const auto table = by_name(rows);
  const auto value = [&](const char *column, const std::string &port) -> std::string {
    const auto col = table.find(column);
    if (col == table.end())
      return "";
    const auto cell = col->second.find(port);
    return cell == col->second.end() ? "" : cell->second;
  };
  std::vector<std::string> messages;
  for (const std::string &port : dumped_servers(rows)) {
    std::vector<std::string> missing;
    const std::string version = value(kVersionColumn, port);
    if (version.empty() || version == kNoText)
      missing.push_back("its /server-info page was not read (" + std::string(kVersionColumn) +
                        " is N/A)");
    const std::string busy = value(kBusyColumn, port);
    if (busy.empty() || busy == "0")
      missing.push_back("its /server-status page was not read (" + std::string(kBusyColumn) +
                        " is 0)");
    if (missing.empty())
      continue;
    std::string message = "the server at 127.0.0.1:" + port + " did not answer: " + missing[0];
    for (size_t i = 1; i < missing.size(); ++i)
      message += "; " + missing[i];
    messages.push_back(message);
  }
  return messages;
}

int run_dump(std::vector<Module> &modules, const std::string &configDir, FILE *out, FILE *err) {
  const std::vector<DumpRow> rows = collect_dump(modules);
  print_dump(out, rows);
  if (!runs_ostrik(modules))
    return 0;

  const std::vector<std::string> servers = dumped_servers(rows);
  if (servers.empty()) {
    fprintf(err, "varnockd: no server is configured: %s/ostrik.cf names none\n", configDir.c_str());
    return 1;
  }
  const std::vector<std::string> silent = servers_not_answering(rows);
  for (const std::string &message : silent)
    fprintf(err, "varnockd: %s\n", message.c_str());
  if (!silent.empty()) {
    fprintf(err, "varnockd: %zu of %zu configured servers did not answer\n", silent.size(),
            servers.size());
    return 1;
  }
  std::string list;
  for (const std::string &port : servers)
    list += (list.empty() ? "127.0.0.1:" : ", 127.0.0.1:") + port;
  fprintf(err, "varnockd: every configured server answered (%s)\n", list.c_str());
  return 0;
}

} // namespace varnockd
