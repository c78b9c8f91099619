// The built module as the agent's process sees it: exactly six exported entry
// points, and internal calls bound inside the module, so that functions of
// the same names elsewhere in the process never capture them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "collect/processes/footprint.h"
#include "config/read_config.h"
#include "module/ostrik.h"
#include "tests/support/process.h"
#include "varnock.h"
#include "varnock_host.h"

#ifndef OSTRIK_MODULE_PATH
#error "OSTRIK_MODULE_PATH must name the built module"
#endif

// Decoys with the names of the module's entry points and internal routines,
// exported from this executable into the process's global scope.
namespace {
int decoy_calls = 0;
}

#define DECOY __attribute__((visibility("default"), used))

extern "C" DECOY int32_t init(InitBlock *) {
  ++decoy_calls;
  return 99;
}
extern "C" DECOY int32_t callback(void) {
  ++decoy_calls;
  return 99;
}
DECOY int read_config(const char *) {
  ++decoy_calls;
  return 0;
}
DECOY int refresh_footprint(void) {
  ++decoy_calls;
  return 0;
}

namespace {

std::set<std::string> exported_symbols(const std::string &library) {
  const auto result = testsupport::run_command({"nm", "-D", "--defined-only", library}, 30);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::set<std::string> names;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    const auto space = line.find_last_of(' ');
    if (space != std::string::npos) {
      names.insert(line.substr(space + 1));
    }
  }
  return names;
}

TEST(ModuleExports, ExactlyTheSixEntryPoints) {
  EXPECT_EQ(
      exported_symbols(OSTRIK_MODULE_PATH),
      (std::set<std::string>{"branch", "callback", "finish", "init", "modinfo", "monitorInit"}));
}

TEST(ModuleExports, InternalCallsBindInsideTheModule) {
  const auto result = testsupport::run_command({"readelf", "-d", OSTRIK_MODULE_PATH}, 30);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("SYMBOLIC"), std::string::npos) << result.out;
}

// The module is loaded into a process that already has global functions
// named init, callback, read_config and refresh_footprint; its exports and
// its own calls must still reach the module's code.
TEST(ModuleExports, ProcessSymbolsOfTheSameNameDoNotCaptureTheModule) {
  // The decoys really are visible process-wide.
  ASSERT_EQ(dlsym(RTLD_DEFAULT, "init"), reinterpret_cast<void *>(&init));
  ASSERT_EQ(dlsym(RTLD_DEFAULT, "callback"), reinterpret_cast<void *>(&callback));
  ASSERT_NE(dlsym(RTLD_DEFAULT, "_Z11read_configPKc"), nullptr);
  ASSERT_NE(dlsym(RTLD_DEFAULT, "_Z17refresh_footprintv"), nullptr);

  void *module = dlopen(OSTRIK_MODULE_PATH, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto module_init = reinterpret_cast<ModuleInitFn>(dlsym(module, "init"));
  auto module_callback = reinterpret_cast<ModuleCallbackFn>(dlsym(module, "callback"));
  auto module_modinfo = reinterpret_cast<ModuleModinfoFn>(dlsym(module, "modinfo"));
  ASSERT_NE(module_init, nullptr);
  ASSERT_NE(module_callback, nullptr);
  ASSERT_NE(module_modinfo, nullptr);
  EXPECT_NE(reinterpret_cast<void *>(module_init), reinterpret_cast<void *>(&init));
  EXPECT_NE(reinterpret_cast<void *>(module_callback), reinterpret_cast<void *>(&callback));
  // Nothing but the entry points can be looked up.
  EXPECT_EQ(dlsym(module, "_Z11read_configPKc"), nullptr);
  EXPECT_EQ(dlsym(module, "_Z10var_ostrikP11MibVariablePjPiiS2_PPv"), nullptr);

  testsupport::TempDir dir;
  InitBlock block;
  std::memset(&block, 0, sizeof block);
  const std::string agent = dir.file("varnockd");
  std::snprintf(block.agentPath, sizeof block.agentPath, "%s", agent.c_str());
  EXPECT_EQ(module_init(&block), 1);
  EXPECT_STREQ(block.moduleName, "ostrik");
  // Every variable: this agent reads long indexes.
  EXPECT_EQ(VarnockHostVariableCount(), static_cast<size_t>(OSTRIK_REGISTERED_COUNT));
  EXPECT_EQ(module_callback(), 0);
  EXPECT_EQ(decoy_calls, 0);

  // The module answers through the real agent library.
  const uint32_t title_oid[] = {1, 3, 6, 1, 4, 1, 32473, 16, 3, 1, 0};
  VarnockAnswer answer;
  ASSERT_EQ(VarnockHostGet(title_oid, 11, &answer), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(answer.value), answer.valueLength),
            "Apache Server Tessivar, Version 1.0 Patchlevel 5.1");
  char title[64];
  EXPECT_EQ(module_modinfo(title, sizeof title), 1);
  EXPECT_STREQ(title, "Apache Server Tessivar, Version 1.0 Patchlevel 5.1");

  // The module stays loaded: the agent never unloads a module either, and
  // its server list lives until the process ends.
  VarnockHostClearVariables();
}

} // namespace
