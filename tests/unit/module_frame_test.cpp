// The module frame through its exports: init's version gate, InitBlock
// handling, path derivation and registration; branch, modinfo, callback and
// finish; the scalar handler and string_value.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "platform/clock.h"
#include "platform/path.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/process.h"

namespace {

// What the module registers with the test double, which lacks
// VarnockHostLongIndex: all but the columns of the long-index tables (per
// host, balancer member, certificate).
constexpr size_t kReadableCount = OSTRIK_REGISTERED_COUNT - OSTRIK_VHOST_LOG_COLUMNS -
                                  OSTRIK_BALANCER_COLUMNS - OSTRIK_CERT_COLUMNS;

constexpr unsigned char FILL = 0x5A;

// A path written with '/' in the platform's own form: the module takes only
// the platform's separator for one.
std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', PLATFORM_PATH_SEPARATOR);
  return path;
}

// An InitBlock whose every byte is FILL, apart from the agent path.
InitBlock make_block(const std::string &agentPath) {
  InitBlock block;
  std::memset(&block, FILL, sizeof block);
  std::memcpy(block.agentPath, agentPath.c_str(), agentPath.size() + 1);
  return block;
}

constexpr char TOO_LONG[] = "ostrik_init: agent path too long, configuration not read";

bool logged(const std::string &text) {
  for (const auto &line : fake_varnock::log()) {
    if (line.text == text) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> log_texts(int32_t level) {
  std::vector<std::string> texts;
  for (const auto &line : fake_varnock::log()) {
    if (line.level == level) {
      texts.push_back(line.text);
    }
  }
  return texts;
}

class ModuleFrame : public ::testing::Test {
protected:
  void SetUp() override {
    fake_varnock::reset();
    module_reset_for_tests();
  }
  void TearDown() override {
    module_reset_for_tests();
    platform_set_time_source(nullptr);
  }
};

// --- version gate -----------------------------------------------------------

class VersionGate : public ModuleFrame, public ::testing::WithParamInterface<int32_t> {};

TEST_P(VersionGate, TooOldAgentIsRefusedWithoutTouchingAnything) {
  const int32_t version = GetParam();
  fake_varnock::set_version(version);
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  const InitBlock before = block;

  testing::internal::CaptureStdout();
  EXPECT_EQ(init(&block), -1);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(out, "ostrik: Varnock version 4.2pl2 or later is required " + std::to_string(version) +
                     "\n");
  ASSERT_EQ(fake_varnock::log().size(), 1u);
  EXPECT_EQ(fake_varnock::log()[0].level, VARNOCK_LOG_ERR);
  EXPECT_EQ(fake_varnock::log()[0].text, "ostrik: Varnock version 4.2pl2 or later is required\n");
  EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);
  EXPECT_TRUE(fake_varnock::registered().empty());
  EXPECT_EQ(tables_registered, 0);
  EXPECT_STREQ(module_directory(), "");
  EXPECT_STREQ(config_path(), "");
}

INSTANTIATE_TEST_SUITE_P(OldVersions, VersionGate, ::testing::Values(421, 0, -422, INT32_MIN));

TEST_F(ModuleFrame, Version422AndLaterStart) {
  for (int32_t version : {422, 423, 1000}) {
    SCOPED_TRACE(version);
    module_reset_for_tests();
    fake_varnock::reset();
    fake_varnock::set_version(version);
    InitBlock block = make_block("/opt/agent/bin/varnockd");
    testing::internal::CaptureStdout();
    EXPECT_EQ(init(&block), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fake_varnock::registered().size(), kReadableCount);
    EXPECT_EQ(tables_registered, 1);
  }
}

// Sets the receive time-out variable; null removes it. (An empty value
// removes it too on Windows.)
void set_receive_timeout_variable(const char *value) {
#if defined(_WIN32)
  ASSERT_EQ(_putenv_s("OSTRIK_RECEIVE_TIMEOUT", value != nullptr ? value : ""), 0);
#else
  ASSERT_EQ(value != nullptr ? setenv("OSTRIK_RECEIVE_TIMEOUT", value, 1)
                             : unsetenv("OSTRIK_RECEIVE_TIMEOUT"),
            0);
#endif
}

TEST_F(ModuleFrame, ReceiveTimeOutFromTheEnvironment) {
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  set_receive_timeout_variable("7");
  ASSERT_EQ(init(&block), 1);
  EXPECT_EQ(fetch_page_receive_timeout(), 7);
  for (const char *bad : {"0", "61", "5s", " 5", "-3", "99999999999999999999"}) {
    fake_varnock::clear_log();
    set_receive_timeout_variable(bad);
    ASSERT_EQ(init(&block), 1);
    EXPECT_EQ(fetch_page_receive_timeout(), 7) << '"' << bad << '"';
    const std::vector<std::string> warnings = log_texts(VARNOCK_LOG_WARNING);
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const std::string &w) {
                              return w.find("OSTRIK_RECEIVE_TIMEOUT") != std::string::npos;
                            }),
              1)
        << '"' << bad << '"';
  }
  set_receive_timeout_variable("60");
  ASSERT_EQ(init(&block), 1);
  EXPECT_EQ(fetch_page_receive_timeout(), 60);
  set_receive_timeout_variable(nullptr);
  fetch_page_set_receive_timeout(0);
}

TEST_F(ModuleFrame, NullBlockIsRefused) {
  EXPECT_EQ(init(nullptr), -1);
  EXPECT_TRUE(fake_varnock::registered().empty());
  EXPECT_EQ(tables_registered, 0);
}

// --- InitBlock --------------------------------------------------------------

TEST_F(ModuleFrame, InitWritesTheNameAndClearsTheReservedBytesOnly) {
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  ASSERT_EQ(init(&block), 1);

  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&block);
  const unsigned char name[10] = {'o', 's', 't', 'r', 'i', 'k', 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes, name, 10), 0);
  for (int i = 10; i < 20; ++i) {
    EXPECT_EQ(bytes[i], 0) << "byte " << i;
  }
  EXPECT_EQ(bytes[20], FILL);
  EXPECT_STREQ(block.agentPath, "/opt/agent/bin/varnockd");
  const size_t tail = sizeof "/opt/agent/bin/varnockd";
  for (size_t i = tail; i < sizeof block.agentPath; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(block.agentPath[i]), FILL) << "agentPath byte " << i;
  }
}

// --- path derivation --------------------------------------------------------

struct PathCase {
  const char *label;
  const char *agentPath;
  const char *directory;
  const char *configPath;
};

void PrintTo(const PathCase &c, std::ostream *os) { *os << c.label; }

class PathDerivation : public ModuleFrame, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathDerivation, DirectoryAndConfigurationPath) {
  const PathCase &c = GetParam();
  InitBlock block = make_block(c.agentPath);
  ASSERT_EQ(init(&block), 1);
  EXPECT_STREQ(module_directory(), c.directory);
  EXPECT_STREQ(config_path(), c.configPath);
  ASSERT_FALSE(fake_varnock::log().empty());
  EXPECT_EQ(fake_varnock::log()[0].level, VARNOCK_LOG_DEBUG);
  EXPECT_EQ(fake_varnock::log()[0].text,
            std::string("ostrik_init: starting with path name ") + c.agentPath);
  EXPECT_FALSE(logged(TOO_LONG));
}

const std::vector<PathCase> POSIX_PATHS = {
    {"absolute", "/opt/agent/bin/varnockd", "/opt/agent/bin/", "/opt/agent/bin/ostrik.cf"},
    {"ending_in_separator", "/opt/agent/bin/", "/opt/agent/bin/", "/opt/agent/bin/ostrik.cf"},
    {"file_in_root", "/varnockd", "/", "/ostrik.cf"},
    {"root", "/", "/", "/ostrik.cf"},
    {"relative", "bin/varnockd", "bin/", "bin/ostrik.cf"},
    // No separator at all: the first character is never examined or cleared.
    {"no_separator", "varnockd", "v", "vostrik.cf"},
    // A backslash is no separator here.
    {"backslashes_only", "D:\\agent\\bin\\agent.exe", "D", "Dostrik.cf"},
    {"empty", "", "", "ostrik.cf"},
};

const std::vector<PathCase> WINDOWS_PATHS = {
    {"absolute", "D:\\agent\\bin\\agent.exe", "D:\\agent\\bin\\", "D:\\agent\\bin\\ostrik.cf"},
    {"ending_in_separator", "D:\\agent\\bin\\", "D:\\agent\\bin\\", "D:\\agent\\bin\\ostrik.cf"},
    {"drive_root", "C:\\agent.exe", "C:\\", "C:\\ostrik.cf"},
    {"file_in_root", "\\agent.exe", "\\", "\\ostrik.cf"},
    {"relative", "bin\\agent.exe", "bin\\", "bin\\ostrik.cf"},
    {"no_separator", "agent.exe", "a", "aostrik.cf"},
    // A forward slash is no separator: everything but the first character goes.
    {"forward_slashes_only", "D:/agent/agent.exe", "D", "Dostrik.cf"},
    {"mixed", "D:\\agent/bin/agent.exe", "D:\\", "D:\\ostrik.cf"},
    {"empty", "", "", "ostrik.cf"},
};

INSTANTIATE_TEST_SUITE_P(Paths, PathDerivation,
                         ::testing::ValuesIn(PLATFORM_PATH_SEPARATOR == '\\' ? WINDOWS_PATHS
                                                                             : POSIX_PATHS),
                         [](const auto &info) { return std::string(info.param.label); });

// The longest agent path the directory field holds, and the longest
// directory whose configuration path still fits.
TEST_F(ModuleFrame, PathsJustInsideTheFieldsAreKeptWhole) {
  const std::string dir = native("/" + std::string(500, 'd') + "/");
  ASSERT_EQ((dir + "ostrik.cf").size(), 511u);
  InitBlock block = make_block(dir + std::string(511 - dir.size(), 'x'));
  ASSERT_EQ(std::strlen(block.agentPath), 511u);
  ASSERT_EQ(init(&block), 1);
  EXPECT_EQ(module_directory(), dir);
  EXPECT_EQ(config_path(), dir + "ostrik.cf");
  EXPECT_FALSE(logged(TOO_LONG));
}

struct LongPathCase {
  const char *label;
  std::string agentPath;
  std::string directory; // what the directory field holds afterwards
};

void PrintTo(const LongPathCase &c, std::ostream *os) { *os << c.label; }

class TooLongPath : public ModuleFrame, public ::testing::WithParamInterface<LongPathCase> {};

// A path that does not fit is never cut short: the configuration path stays
// empty, one error is logged, and start-up registers everything anyway.
TEST_P(TooLongPath, LeavesTheConfigurationPathEmptyAndStillStarts) {
  const LongPathCase &c = GetParam();
  InitBlock block = make_block(c.agentPath);
  ASSERT_EQ(init(&block), 1);
  EXPECT_EQ(module_directory(), c.directory);
  EXPECT_STREQ(config_path(), "");
  // One error, and none from the configuration reader: it was not run.
  EXPECT_EQ(log_texts(VARNOCK_LOG_ERR), std::vector<std::string>{TOO_LONG});
  EXPECT_EQ(fake_varnock::registered().size(), kReadableCount);
  EXPECT_EQ(tables_registered, 1);
}

const std::string DIR_503 = native("/" + std::string(501, 'd') + "/"); // + "ostrik.cf" = 512

INSTANTIATE_TEST_SUITE_P(
    Paths, TooLongPath,
    ::testing::Values(LongPathCase{"agent_path_of_512", "/" + std::string(511, 'a'), ""},
                      LongPathCase{"agent_path_of_1002", "/" + std::string(1001, 'a'), ""},
                      LongPathCase{"directory_without_room_for_the_file_name", DIR_503 + "varnockd",
                                   DIR_503}),
    [](const auto &info) { return std::string(info.param.label); });

// An agent path without its NUL inside the block's field is never read past
// the field.
TEST_F(ModuleFrame, AgentPathWithoutTerminatorIsTooLong) {
  InitBlock block;
  std::memset(&block, 'p', sizeof block);
  ASSERT_EQ(init(&block), 1);
  EXPECT_STREQ(module_directory(), "");
  EXPECT_STREQ(config_path(), "");
  EXPECT_EQ(log_texts(VARNOCK_LOG_ERR), std::vector<std::string>{TOO_LONG});
  EXPECT_EQ(fake_varnock::log()[0].text,
            "ostrik_init: starting with path name " + std::string(sizeof block.agentPath, 'p'));
}

// --- registration -----------------------------------------------------------

// The test double offers only the six original functions: the tables whose
// index takes more than one arc are left out, and nothing registered carries
// an access the agent has never seen. (An agent with VarnockHostLongIndex
// gets all of them: host_module_exports_test.)
TEST_F(ModuleFrame, RegistersTheDescriptorsTheAgentCanReadInTableOrder) {
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  ASSERT_EQ(init(&block), 1);

  std::vector<MibVariable *> readable;
  for (MibVariable &v : ostrik_variables) {
    readable.push_back(&v);
  }
  for (MibVariable &v : ostrik_ext_variables) {
    if ((v.access & VARNOCK_ACCESS_LONG_INDEX) == 0) {
      readable.push_back(&v);
    }
  }
  // The 62 original variables in their order, then those added since.
  EXPECT_EQ(readable.size(), kReadableCount);
  EXPECT_EQ(fake_varnock::registered(), readable);
  for (const MibVariable *v : fake_varnock::registered()) {
    EXPECT_EQ(v->access, VARNOCK_ACCESS_READ_ONLY) << v->name;
  }
  // The magic numbers, not positions, are logged: 1-2, 1-25, 1-20, 1-15,
  // then 1-23, 1-9 and 1-27 (the long-index tables need a host that reads
  // long indexes).
  std::vector<int> expected;
  for (int group : {2, 25, 20, 15, 23, 9, 27}) {
    for (int m = 1; m <= group; ++m) {
      expected.push_back(m);
    }
  }
  std::vector<std::string> expected_texts;
  for (int m : expected) {
    expected_texts.push_back("ostrik: insert variable " + std::to_string(m));
  }
  std::vector<std::string> inserts = log_texts(VARNOCK_LOG_DEBUG);
  ASSERT_FALSE(inserts.empty());
  inserts.erase(inserts.begin()); // the start-up line
  EXPECT_EQ(inserts, expected_texts);
  EXPECT_TRUE(log_texts(VARNOCK_LOG_WARNING).empty());
}

// A refused registration is logged with the variable's magic number and does
// not stop the others.
TEST_F(ModuleFrame, RefusedRegistrationIsLoggedAndStartUpGoesOn) {
  struct Case {
    int position; // 1-based call of the insert function
    const char *message;
  };
  for (const Case &c :
       {Case{2, "ostrik: insert variable 2 failed"}, Case{3, "ostrik: insert variable 1 failed"},
        Case{62, "ostrik: insert variable 15 failed"},
        Case{63, "ostrik: insert variable 1 failed"}}) {
    SCOPED_TRACE(c.position);
    fake_varnock::reset();
    module_reset_for_tests();
    fake_varnock::refuse_registration_at(c.position);
    InitBlock block = make_block("/opt/agent/bin/varnockd");
    EXPECT_EQ(init(&block), 1);
    EXPECT_EQ(log_texts(VARNOCK_LOG_WARNING), std::vector<std::string>{c.message});
    EXPECT_EQ(fake_varnock::registered().size(), kReadableCount - 1);
    EXPECT_EQ(tables_registered, 1);
  }
}

TEST_F(ModuleFrame, SecondInitOffersTheScalarsAgainButNotTheTables) {
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  ASSERT_EQ(init(&block), 1);
  fake_varnock::clear_log();

  InitBlock again = make_block(native("/srv/other/varnockd"));
  ASSERT_EQ(init(&again), 1);
  const auto &registered = fake_varnock::registered();
  ASSERT_EQ(registered.size(), kReadableCount + 2);
  EXPECT_EQ(registered[kReadableCount], &ostrik_variables[0]);
  EXPECT_EQ(registered[kReadableCount + 1], &ostrik_variables[1]);
  EXPECT_EQ(log_texts(VARNOCK_LOG_DEBUG),
            (std::vector<std::string>{"ostrik_init: starting with path name " +
                                          native("/srv/other/varnockd"),
                                      "ostrik: insert variable 1", "ostrik: insert variable 2"}));
  // The paths follow the latest block, and its name bytes are written too.
  EXPECT_EQ(module_directory(), native("/srv/other/"));
  EXPECT_EQ(config_path(), native("/srv/other/ostrik.cf"));
  EXPECT_STREQ(again.moduleName, "ostrik");
  EXPECT_EQ(tables_registered, 1);
}

// A second start with a path that does not fit does not keep the previous
// start's configuration path.
TEST_F(ModuleFrame, SecondInitWithTooLongPathForgetsThePreviousPaths) {
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  ASSERT_EQ(init(&block), 1);
  InitBlock again = make_block(std::string("/").append(600, 'a'));
  ASSERT_EQ(init(&again), 1);
  EXPECT_STREQ(module_directory(), "");
  EXPECT_STREQ(config_path(), "");
}

// --- configuration ----------------------------------------------------------

// init reads ostrik.cf from the agent's directory, and reads it again on a
// second start (ports already listed are refused by the list).
TEST_F(ModuleFrame, ReadsTheConfigurationFromTheAgentDirectoryOnEveryInit) {
  testsupport::TempDir dir;
  const int first = testsupport::free_tcp_port();
  int second = testsupport::free_tcp_port();
  while (second == first) {
    second = testsupport::free_tcp_port();
  }
  testsupport::write_file(dir.file("ostrik.cf"),
                          "apache " + std::to_string(first) + " user secret 0\n");
  InitBlock block = make_block(native(dir.file("varnockd")));
  ASSERT_EQ(init(&block), 1);
  EXPECT_NE(find_server(first), nullptr);
  EXPECT_EQ(find_server(second), nullptr);

  testsupport::write_file(dir.file("ostrik.cf"), "apache " + std::to_string(first) +
                                                     " user secret 0\napache " +
                                                     std::to_string(second) + " user secret 0\n");
  InitBlock again = make_block(native(dir.file("varnockd")));
  ASSERT_EQ(init(&again), 1);
  EXPECT_NE(find_server(second), nullptr);
}

// A configuration path that would not fit is not read at all, even when the
// file exists under the full path.
TEST_F(ModuleFrame, TooLongConfigurationPathIsNotRead) {
#if defined(_WIN32)
  GTEST_SKIP() << "a directory of 500 characters is beyond the system's ANSI path limit";
#else
  testsupport::TempDir dir;
  // A directory of 503 characters with its separator: the agent path below
  // fits its field, the configuration path would need 512 characters.
  std::string long_dir = dir.path();
  ASSERT_LT(long_dir.size(), 400u);
  size_t remaining = 502 - long_dir.size();
  while (remaining > 0) {
    size_t n = std::min<size_t>(200, remaining - 1);
    if (remaining - 1 - n == 1) {
      --n;
    }
    long_dir.append("/").append(n, 'n');
    remaining -= n + 1;
    ASSERT_EQ(::mkdir(long_dir.c_str(), 0700), 0) << long_dir;
  }
  long_dir += "/";
  ASSERT_EQ(long_dir.size(), 503u);
  const int port = testsupport::free_tcp_port();
  testsupport::write_file(long_dir + "ostrik.cf", "apache " + std::to_string(port) + " u p 0\n");

  InitBlock block = make_block(long_dir + "varnockd");
  ASSERT_EQ(init(&block), 1);
  EXPECT_EQ(module_directory(), long_dir);
  EXPECT_STREQ(config_path(), "");
  EXPECT_EQ(find_server(port), nullptr);
  EXPECT_EQ(fake_varnock::registered().size(), kReadableCount);
#endif
}

// --- callback, monitorInit, finish ------------------------------------------

TEST_F(ModuleFrame, CallbackBeforeInitDoesNothing) {
  EXPECT_EQ(callback(), 0);
  EXPECT_EQ(fake_varnock::proc_cache_calls(), 0);
  EXPECT_TRUE(fake_varnock::log().empty());
}

TEST_F(ModuleFrame, CallbackAfterARefusedInitDoesNothing) {
  fake_varnock::set_version(421);
  InitBlock block = make_block("/opt/agent/bin/varnockd");
  testing::internal::CaptureStdout();
  ASSERT_EQ(init(&block), -1);
  testing::internal::GetCapturedStdout();
  fake_varnock::clear_log();

  EXPECT_EQ(callback(), 0);
  EXPECT_EQ(fake_varnock::proc_cache_calls(), 0);
  EXPECT_TRUE(fake_varnock::log().empty());
}

int32_t far_future() { return 2000000000; }

// Once started, every tick runs the footprint refresh, which reads the
// agent's process snapshot.
TEST_F(ModuleFrame, CallbackAfterInitRunsTheFootprintRefresh) {
  InitBlock block = make_block("/nonexistent-ostrik-dir/varnockd");
  ASSERT_EQ(init(&block), 1);
  platform_set_time_source(far_future);
  EXPECT_EQ(callback(), 0);
  EXPECT_GT(fake_varnock::proc_cache_calls(), 0);
}

TEST_F(ModuleFrame, MonitorInitAndFinishChangeNothing) {
  EXPECT_EQ(monitorInit(), 0);
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(tables_registered, 0);

  InitBlock block = make_block(native("/opt/agent/bin/varnockd"));
  ASSERT_EQ(init(&block), 1);
  fake_varnock::clear_log();
  EXPECT_EQ(monitorInit(), 0);
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(tables_registered, 1);
  EXPECT_EQ(config_path(), native("/opt/agent/bin/ostrik.cf"));
  EXPECT_EQ(fake_varnock::registered().size(), kReadableCount);
  EXPECT_TRUE(fake_varnock::log().empty());
}

// --- branch ------------------------------------------------------------------

TEST_F(ModuleFrame, BranchReportsTheSubtree) {
  uint32_t oid[VARNOCK_MAX_OID_LEN];
  std::fill(std::begin(oid), std::end(oid), 77u);
  int32_t length = -5;
  EXPECT_EQ(branch(oid, &length), 1);
  EXPECT_EQ(length, 9);
  const uint32_t expected[] = {1, 3, 6, 1, 4, 1, 32473, 16, 3};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), oid));
  EXPECT_EQ(oid[9], 77u);
}

TEST_F(ModuleFrame, BranchRefusesNullArguments) {
  uint32_t oid[VARNOCK_MAX_OID_LEN];
  std::fill(std::begin(oid), std::end(oid), 77u);
  int32_t length = -5;
  EXPECT_EQ(branch(nullptr, &length), -1);
  EXPECT_EQ(length, -5);
  EXPECT_EQ(branch(oid, nullptr), -1);
  EXPECT_EQ(oid[0], 77u);
  EXPECT_EQ(branch(nullptr, nullptr), -1);
}

// --- modinfo -----------------------------------------------------------------

struct ModinfoCase {
  int32_t length;
  int32_t result;
  const char *text; // null: nothing written
};

void PrintTo(const ModinfoCase &c, std::ostream *os) { *os << c.length; }

class Modinfo : public ModuleFrame, public ::testing::WithParamInterface<ModinfoCase> {};

TEST_P(Modinfo, WritesAtMostLengthBytes) {
  const ModinfoCase &c = GetParam();
  char buffer[128];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(modinfo(buffer, c.length), c.result);
  if (c.text == nullptr) {
    EXPECT_EQ(buffer[0], '#');
    return;
  }
  EXPECT_STREQ(buffer, c.text);
  const size_t used = std::strlen(c.text) + 1;
  for (size_t i = used; i < sizeof buffer; ++i) {
    ASSERT_EQ(buffer[i], '#') << "byte " << i << " written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Modinfo,
    ::testing::Values(ModinfoCase{128, 1, "Apache Server Tessivar, Version 1.0 Patchlevel 5.1"},
                      ModinfoCase{51, 1, "Apache Server Tessivar, Version 1.0 Patchlevel 5.1"},
                      ModinfoCase{50, 1, "Apache Server Tessivar, Version 1.0 Patchlevel 5."},
                      ModinfoCase{7, 1, "Apache"}, ModinfoCase{1, 1, ""},
                      ModinfoCase{0, -1, nullptr}, ModinfoCase{-1, -1, nullptr},
                      ModinfoCase{INT32_MIN, -1, nullptr}),
    [](const auto &info) {
      const int32_t n = info.param.length;
      return n < 0 ? "minus_" + std::to_string(-static_cast<int64_t>(n)) : std::to_string(n);
    });

TEST_F(ModuleFrame, ModinfoRefusesANullBuffer) { EXPECT_EQ(modinfo(nullptr, 100), -1); }

// --- var_ostrik ---------------------------------------------------------------

constexpr uint32_t VERSION_OID[] = {1, 3, 6, 1, 4, 1, 32473, 16, 3, 1, 0};
constexpr uint32_t MODE_OID[] = {1, 3, 6, 1, 4, 1, 32473, 16, 3, 2, 0};

struct Request {
  uint32_t oid[VARNOCK_MAX_OID_LEN] = {};
  int32_t length = 0;
  int32_t valueLength = -7;
  void *writeMethod = reinterpret_cast<void *>(0x1234);

  Request(std::initializer_list<uint32_t> arcs) {
    std::fill(std::begin(oid), std::end(oid), 99u);
    std::copy(arcs.begin(), arcs.end(), oid);
    length = static_cast<int32_t>(arcs.size());
  }
  unsigned char *ask(MibVariable &var, int32_t exact) {
    return var_ostrik(&var, oid, &length, exact, &valueLength, &writeMethod);
  }
  bool oid_is(const uint32_t *arcs, int32_t n) const {
    return length == n && std::equal(arcs, arcs + n, oid);
  }
};

MibVariable &version_var() { return ostrik_variables[0]; }
MibVariable &mode_var() { return ostrik_variables[1]; }

TEST_F(ModuleFrame, GetOnOstrikVersionAnswersTheTitle) {
  Request r{1, 3, 6, 1, 4, 1, 32473, 16, 3, 1, 0};
  unsigned char *value = r.ask(version_var(), 1);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value, reinterpret_cast<unsigned char *>(value_text));
  EXPECT_STREQ(reinterpret_cast<char *>(value),
               "Apache Server Tessivar, Version 1.0 Patchlevel 5.1");
  EXPECT_EQ(r.valueLength, 50);
  EXPECT_EQ(r.writeMethod, nullptr);
  EXPECT_TRUE(r.oid_is(VERSION_OID, 11));
}

TEST_F(ModuleFrame, GetOnOstrikModeAnswersOne) {
  Request r{1, 3, 6, 1, 4, 1, 32473, 16, 3, 2, 0};
  value_int = 12345;
  unsigned char *value = r.ask(mode_var(), 1);
  ASSERT_EQ(value, reinterpret_cast<unsigned char *>(&value_int));
  EXPECT_EQ(value_int, 1);
  EXPECT_EQ(r.valueLength, 4);
  EXPECT_EQ(r.writeMethod, nullptr);
  EXPECT_TRUE(r.oid_is(MODE_OID, 11));
}

// A get whose OID is not exactly the descriptor's answers nothing and leaves
// every out-value as it was.
TEST_F(ModuleFrame, MismatchingGetLeavesEverythingUntouched) {
  const std::vector<std::vector<uint32_t>> requests = {
      {1, 3, 6, 1, 4, 1, 32473, 16, 3, 1},
      {1, 3, 6, 1, 4, 1, 32473, 16, 3, 1, 0, 0},
      {1, 3, 6, 1, 4, 1, 32473, 16, 3, 2, 0},
      {1, 3, 6, 1, 4, 1, 32474, 16, 3, 1, 0},
      {},
  };
  for (const auto &arcs : requests) {
    SCOPED_TRACE(arcs.size());
    Request r{};
    std::copy(arcs.begin(), arcs.end(), r.oid);
    r.length = static_cast<int32_t>(arcs.size());
    const Request before = r;
    EXPECT_EQ(r.ask(version_var(), 1), nullptr);
    EXPECT_EQ(r.length, before.length);
    EXPECT_TRUE(std::equal(std::begin(r.oid), std::end(r.oid), before.oid));
    EXPECT_EQ(r.valueLength, -7);
    EXPECT_EQ(r.writeMethod, before.writeMethod);
  }
}

// A get-next handed to the scalar handler answers the scalar's own instance,
// whatever the request named.
TEST_F(ModuleFrame, GetNextAnswersTheScalarsOwnInstance) {
  for (const Request &start :
       {Request{1, 3, 6, 1}, Request{}, Request{1, 3, 6, 1, 4, 1, 32473, 16, 3, 1, 0, 5, 6, 7}}) {
    Request r = start;
    unsigned char *value = r.ask(version_var(), 0);
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE(r.oid_is(VERSION_OID, 11));
    EXPECT_EQ(r.valueLength, 50);
    EXPECT_EQ(r.writeMethod, nullptr);

    Request m = start;
    value = m.ask(mode_var(), 0);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*reinterpret_cast<int32_t *>(value), 1);
    EXPECT_TRUE(m.oid_is(MODE_OID, 11));
  }
}

// A descriptor with a number the handler does not know: no value, but the
// instance and the lengths are written.
TEST_F(ModuleFrame, UnknownMagicAnswersNothing) {
  MibVariable other = mode_var();
  other.magic = 3;
  Request r{};
  EXPECT_EQ(r.ask(other, 0), nullptr);
  EXPECT_TRUE(r.oid_is(MODE_OID, 11));
  EXPECT_EQ(r.valueLength, 4);
  EXPECT_EQ(r.writeMethod, nullptr);
}

// --- string_value -------------------------------------------------------------

TEST(StringValue, AnswersTextOrNotAvailable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", "N/A"},
      {" ", "N/A"},
      {"  ", "  "},
      {"\t", "\t"},
      {" x", " x"},
      {"Apache/2.4.57 (Debian)", "Apache/2.4.57 (Debian)"},
      {std::string(511, 'z'), std::string(511, 'z')},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("'" + c.in + "'");
    std::memset(value_text, 'q', sizeof value_text);
    int32_t length = -1;
    unsigned char *value = string_value(c.in.c_str(), &length);
    EXPECT_EQ(value, reinterpret_cast<unsigned char *>(value_text));
    EXPECT_EQ(std::string(value_text), c.out);
    EXPECT_EQ(length, static_cast<int32_t>(c.out.size()));
  }
}

// Text longer than the buffer is cut to it, never written past it.
TEST(StringValue, OverlongTextIsCutToTheBuffer) {
  const std::string big(3000, 'b');
  int32_t length = 0;
  string_value(big.c_str(), &length);
  EXPECT_EQ(length, 1023);
  EXPECT_EQ(value_text[1023], '\0');
}

} // namespace
