// varnock-walk [--config-dir DIR] [--debug] --module PATH [--module PATH ...]
//
// Loads each module, starts it with the agent path DIR<separator>varnock-walk
// (so the module reads its configuration from DIR), then walks every
// registered variable from the start of the OID tree with the agent
// library's get-next, as the daemon answers an SNMP walk, and prints one line
// per answer: the variable's name, the instance (the answer's arcs after the
// variable's own prefix) and the value.
#include <stdio.h>
#include <string.h>

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
          "they answer and prints one line per instance: name, instance, value.\n",
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

struct Entries {
  ModuleInitFn init;
  ModuleMonitorInitFn monitorInit;
  ModuleFinishFn finish;
};

bool start_module(const std::string &path, const std::string &agentPath, Entries *entries) {
  std::string error;
  PlatformModule *module = platform_module_load(path.c_str(), &error);
  if (module == nullptr) {
    fprintf(stderr, "%s: cannot load module %s: %s\n", kProgram, path.c_str(), error.c_str());
    return false;
  }
  // The module stays loaded until the program ends.
  entries->init = reinterpret_cast<ModuleInitFn>(platform_module_symbol(module, "init"));
  entries->monitorInit =
      reinterpret_cast<ModuleMonitorInitFn>(platform_module_symbol(module, "monitorInit"));
  entries->finish = reinterpret_cast<ModuleFinishFn>(platform_module_symbol(module, "finish"));
  if (entries->init == nullptr || entries->monitorInit == nullptr || entries->finish == nullptr) {
    fprintf(stderr, "%s: %s is not a module: init, monitorInit or finish is missing\n", kProgram,
            path.c_str());
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

// A text value as it stands, with bytes that are not printable ASCII (and the
// backslash) written as \xHH, so that every answer stays on one line.
void print_text(const unsigned char *value, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    const unsigned char c = value[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      putchar(c);
    } else {
      printf("\\x%02X", c);
    }
  }
}

void print_answer(const VarnockAnswer &answer) {
  const MibVariable *var = answer.variable;
  printf("%.*s ", static_cast<int>(strnlen(var->name, sizeof var->name)), var->name);
  // The instance: the answer's arcs after the descriptor's prefix (its OID
  // without the last arc, which holds the place of the instance).
  const int32_t prefix = var->oidLength - 1;
  for (int32_t i = prefix; i < answer.oidLength; ++i) {
    printf(i == prefix ? "%u" : ".%u", static_cast<unsigned>(answer.oid[i]));
  }
  putchar(' ');
  if (answer.type == VARNOCK_TYPE_OCTET_STRING) {
    print_text(answer.value, answer.valueLength);
  } else if (answer.valueLength == 4) {
    uint32_t raw;
    memcpy(&raw, answer.value, sizeof raw);
    if (answer.type == VARNOCK_TYPE_INTEGER) {
      printf("%d", static_cast<int>(static_cast<int32_t>(raw)));
    } else {
      printf("%u", static_cast<unsigned>(raw));
    }
  } else {
    printf("(%d bytes of type 0x%02X)", static_cast<int>(answer.valueLength),
           static_cast<unsigned>(answer.type));
  }
  putchar('\n');
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

  VarnockAnswer answer;
  memset(&answer, 0, sizeof answer);
  std::vector<uint32_t> from;
  int answers = 0;
  while (answers < kMaxAnswers &&
         VarnockHostGetNext(from.data(), static_cast<int32_t>(from.size()), &answer) == 1) {
    print_answer(answer);
    from.assign(answer.oid, answer.oid + answer.oidLength);
    ++answers;
  }
  fflush(stdout);

  for (const Entries &entries : started) {
    entries.finish();
  }
  platform_socket_library_stop();
  return 0;
}
