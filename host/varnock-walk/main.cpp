// varnock-walk [--config-dir DIR] [--debug] --module PATH [--module PATH ...]
//
// Loads each module, starts it with the agent path DIR<separator>varnock-walk
// (so the module reads its configuration from DIR), runs each module's
// callback once, then walks every registered variable from the start of the
// OID tree with the agent library's get-next, as the daemon answers an SNMP
// walk. It prints the table that `varnockd --dump` prints: one row per
// answer with the variable's name, the instance (the answer's arcs after the
// variable's own prefix), the type and the value.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/host/module_loader.h"
#include "platform/host/socket_library.h"
#include "platform/path.h"
#include "varnock.h"
#include "varnock_host.h"

namespace {

constexpr char kProgram[] = "varnock-walk";

// A walk moves forward at every step, so it ends; this bounds it all the same.
constexpr int kMaxAnswers = 1000000;

struct Options {
  std::string configDir = ".";
  std::vector<std::string> modules;
  bool debug = false;
};

void print_usage(FILE *out) {
  fprintf(out,
          "Usage: %s [--config-dir DIR] [--debug] --module PATH [--module PATH ...]\n"
          "\n"
          "Loads the modules, starts them with DIR as the agent's directory (where\n"
          "ostrik.cf is read; default: the current directory), walks every variable\n"
          "they answer and prints one row per instance: name, instance, type, value.\n",
          kProgram);
}

// 0: run; 1: error; 2: help shown.
int parse_options(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_usage(stdout);
      return 2;
    }
    if (arg == "--debug") {
      options->debug = true;
    } else if ((arg == "--config-dir" || arg == "--module") && i + 1 < argc) {
      (arg == "--module" ? options->modules.emplace_back() : options->configDir) = argv[++i];
    } else {
      fprintf(stderr, "%s: unknown or incomplete option '%s'\n", kProgram, arg.c_str());
      return 1;
    }
  }
  if (options->modules.empty()) {
    fprintf(stderr, "%s: no module to load: name one with --module PATH\n", kProgram);
    return 1;
  }
  return 0;
}

// The loaded modules. They stay loaded until the process ends, as in the
// agent (a module keeps state that its callers' answers point into); the
// list itself is never destroyed, so it is still there at that end.
std::vector<PlatformModule *> &loaded_modules() {
  static auto *modules = new std::vector<PlatformModule *>;
  return *modules;
}

struct Entries {
  ModuleInitFn init;
  ModuleMonitorInitFn monitorInit;
  ModuleCallbackFn callback;
  ModuleFinishFn finish;
};

bool start_module(const std::string &path, const std::string &agentPath, Entries *entries) {
  std::string error;
  PlatformModule *module = platform_module_load(path.c_str(), &error);
  if (module == nullptr) {
    fprintf(stderr, "%s: cannot load module %s: %s\n", kProgram, path.c_str(), error.c_str());
    return false;
  }
  loaded_modules().push_back(module);
  entries->init = reinterpret_cast<ModuleInitFn>(platform_module_symbol(module, "init"));
  entries->monitorInit =
      reinterpret_cast<ModuleMonitorInitFn>(platform_module_symbol(module, "monitorInit"));
  entries->callback =
      reinterpret_cast<ModuleCallbackFn>(platform_module_symbol(module, "callback"));
  entries->finish = reinterpret_cast<ModuleFinishFn>(platform_module_symbol(module, "finish"));
  if (entries->init == nullptr || entries->monitorInit == nullptr || entries->callback == nullptr ||
      entries->finish == nullptr) {
    fprintf(stderr, "%s: %s is not a module: init, monitorInit, callback or finish is missing\n",
            kProgram, path.c_str());
    return false;
  }
  InitBlock block;
  memset(&block, 0, sizeof block);
  if (agentPath.size() >= sizeof block.agentPath) {
    fprintf(stderr, "%s: configuration directory too long for the module\n", kProgram);
    return false;
  }
  memcpy(block.agentPath, agentPath.c_str(), agentPath.size() + 1);
  if (entries->init(&block) < 0) {
    fprintf(stderr, "%s: %s refused to start (init returned -1)\n", kProgram, path.c_str());
    return false;
  }
  entries->monitorInit();
  return true;
}

// One answer as printed.
struct Row {
  std::string name;
  std::string instance;
  std::string type;
  std::string value;
};

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

// A text in double quotes; the quote, the backslash and every byte that is
// not printable ASCII are written as \-escapes, so that each row stays on
// one line.
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

Row row_of(const VarnockAnswer &answer) {
  const MibVariable *var = answer.variable;
  Row row;
  row.name.assign(var->name, strnlen(var->name, sizeof var->name));
  // The descriptor's last arc holds the place of the instance.
  const int32_t prefix = var->oidLength - 1;
  for (int32_t i = prefix; i < answer.oidLength; ++i) {
    if (i > prefix) {
      row.instance += '.';
    }
    row.instance += std::to_string(answer.oid[i]);
  }
  row.type = type_name(answer.type);
  if (answer.type == VARNOCK_TYPE_OCTET_STRING) {
    row.value = quoted(answer.value, answer.valueLength);
  } else if (answer.valueLength != 4) {
    row.value = "(" + std::to_string(answer.valueLength) + " bytes that do not fit the type)";
  } else {
    uint32_t raw;
    memcpy(&raw, answer.value, sizeof raw);
    row.value = answer.type == VARNOCK_TYPE_INTEGER ? std::to_string(static_cast<int32_t>(raw))
                                                    : std::to_string(raw);
  }
  return row;
}

// The rows as an aligned table under a header line.
void print_rows(const std::vector<Row> &rows) {
  size_t nameWidth = strlen("NAME");
  size_t instanceWidth = strlen("INSTANCE");
  size_t typeWidth = strlen("TYPE");
  for (const Row &row : rows) {
    nameWidth = std::max(nameWidth, row.name.size());
    instanceWidth = std::max(instanceWidth, row.instance.size());
    typeWidth = std::max(typeWidth, row.type.size());
  }
  const auto line = [&](const Row &row) {
    printf("%-*s  %-*s  %-*s  %s\n", static_cast<int>(nameWidth), row.name.c_str(),
           static_cast<int>(instanceWidth), row.instance.c_str(), static_cast<int>(typeWidth),
           row.type.c_str(), row.value.c_str());
  };
  line(Row{"NAME", "INSTANCE", "TYPE", "VALUE"});
  for (const Row &row : rows) {
    line(row);
  }
  fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed != 0) {
    return parsed == 2 ? 0 : 1;
  }
  if (!platform_socket_library_start()) {
    fprintf(stderr, "%s: the socket library did not start\n", kProgram);
    return 1;
  }
  VarnockHostSetLogLevel(options.debug ? 7 : 4);

  std::string agentPath = options.configDir;
  if (!agentPath.empty() && agentPath.back() != PLATFORM_PATH_SEPARATOR) {
    agentPath += PLATFORM_PATH_SEPARATOR;
  }
  agentPath += kProgram;

  std::vector<Entries> started;
  for (const std::string &path : options.modules) {
    Entries entries{};
    if (!start_module(path, agentPath, &entries)) {
      return 1;
    }
    started.push_back(entries);
  }

  // One tick first, as the agent gives its modules, then the walk: each
  // handler runs its table's refresh on its first call.
  for (const Entries &entries : started) {
    entries.callback();
  }
  std::vector<Row> rows;
  VarnockAnswer answer;
  memset(&answer, 0, sizeof answer);
  std::vector<uint32_t> from;
  while (rows.size() < static_cast<size_t>(kMaxAnswers) &&
         VarnockHostGetNext(from.data(), static_cast<int32_t>(from.size()), &answer) == 1) {
    rows.push_back(row_of(answer));
    from.assign(answer.oid, answer.oid + answer.oidLength);
  }
  print_rows(rows);

  for (const Entries &entries : started) {
    entries.finish();
  }
  platform_socket_library_stop();
  return 0;
}
