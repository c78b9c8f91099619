// The agent library's variable list, OID order, walk and log, driven through
// its public functions with small test variables: two scalars and a
// two-column table whose handler follows the modules' row protocol.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "varnock_host.h"

namespace {

using Oid = std::vector<uint32_t>;

const Oid kBase = {1, 3, 6, 1, 4, 1, 32473, 16, 3};

Oid under(const Oid &tail) {
  Oid oid = kBase;
  oid.insert(oid.end(), tail.begin(), tail.end());
  return oid;
}

// Shared answer storage, as a module has: overwritten by every call.
int32_t g_value_int;
char g_value_text[1024];
int g_calls;

MibVariable make_variable(const Oid &oid, uint8_t type, uint8_t magic, VariableHandler handler,
                          const char *name) {
  MibVariable var{};
  for (size_t i = 0; i < oid.size(); ++i)
    var.oid[i] = oid[i];
  var.oidLength = static_cast<uint8_t>(oid.size());
  var.access = 1;
  var.type = type;
  var.magic = magic;
  var.reserved = 0xAAAA;
  var.handler = handler;
  snprintf(var.name, sizeof var.name, "%s", name);
  return var;
}

// Scalars: a get must name the instance exactly; a get-next answers the
// variable's own instance whatever it is handed.
unsigned char *scalar_handler(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                              int32_t *valueLength, void **writeMethod) {
  ++g_calls;
  if (exact && VarnockCompare(oid, *oidLength, var->oid, var->oidLength) != 0)
    return nullptr;
  memcpy(oid, var->oid, var->oidLength * sizeof(uint32_t));
  *oidLength = var->oidLength;
  *writeMethod = nullptr;
  if (var->magic == 1) {
    snprintf(g_value_text, sizeof g_value_text, "scalar one");
    *valueLength = static_cast<int32_t>(strlen(g_value_text));
    return reinterpret_cast<unsigned char *>(g_value_text);
  }
  g_value_int = 7;
  *valueLength = 4;
  return reinterpret_cast<unsigned char *>(&g_value_int);
}

// Table rows, indexed by port, in ascending order.
const int32_t kPorts[] = {80, 8080};

// The row protocol: the index is the last arc (signed) when the request has
// the descriptor's length and, for a get-next, the descriptor's column arc.
unsigned char *table_handler(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t exact,
                             int32_t *valueLength, void **writeMethod) {
  ++g_calls;
  const int32_t n = var->oidLength;
  int32_t index = 0;
  if (*oidLength == n && (exact || oid[n - 2] == var->oid[n - 2]))
    index = static_cast<int32_t>(oid[n - 1]);
  const int32_t *row = nullptr;
  for (const int32_t &port : kPorts) {
    if (exact ? port == index : port > index) {
      row = &port;
      break;
    }
  }
  if (row == nullptr)
    return nullptr;
  memcpy(oid, var->oid, n * sizeof(uint32_t));
  oid[n - 1] = static_cast<uint32_t>(*row);
  *oidLength = n;
  *valueLength = 4;
  *writeMethod = nullptr;
  g_value_int = *row * 100 + var->magic;
  return reinterpret_cast<unsigned char *>(&g_value_int);
}

// A handler that misbehaves in one chosen way.
enum class Fault {
  Null,
  NoArcs,
  TooManyArcs,
  NegativeValueLength,
  ValueTooLong,
  OutsideItsPrefix,
  EchoesRequest,
  Throws,
};
Fault g_fault;

unsigned char *faulty_handler(MibVariable *var, uint32_t *oid, int32_t *oidLength, int32_t,
                              int32_t *valueLength, void **writeMethod) {
  ++g_calls;
  *writeMethod = nullptr;
  *valueLength = 4;
  if (g_fault == Fault::Null)
    return nullptr;
  if (g_fault == Fault::EchoesRequest)
    return reinterpret_cast<unsigned char *>(&g_value_int); // OID left as handed
  if (g_fault == Fault::Throws)
    throw std::runtime_error("a C++ module's fault");
  memcpy(oid, var->oid, var->oidLength * sizeof(uint32_t));
  int32_t length = var->oidLength;
  oid[length - 1] = 1;
  switch (g_fault) {
  case Fault::Null:
  case Fault::EchoesRequest:
  case Fault::Throws:
    break;
  case Fault::NoArcs:
    length = 0;
    break;
  case Fault::TooManyArcs:
    length = VARNOCK_HOST_MAX_OID + 1;
    break;
  case Fault::NegativeValueLength:
    *valueLength = -1;
    break;
  case Fault::ValueTooLong:
    *valueLength = 1025;
    break;
  case Fault::OutsideItsPrefix:
    oid[length - 2] += 1;
    break;
  }
  *oidLength = length;
  return reinterpret_cast<unsigned char *>(&g_value_int);
}

class HostVariables : public ::testing::Test {
protected:
  void SetUp() override {
    VarnockHostClearVariables();
    g_calls = 0;
    VarnockHostSetLogLevel(VARNOCK_LOG_WARNING);
  }
  void TearDown() override { VarnockHostClearVariables(); }

  // Registers the test MIB, deliberately out of OID order.
  void register_test_mib() {
    for (MibVariable *var : {&column2_, &scalar2_, &column1_, &scalar1_})
      ASSERT_GE(VarnockInsertIntoVariableList(var), 0) << var->name;
  }

  static Oid answer_oid(const VarnockAnswer &a) { return Oid(a.oid, a.oid + a.oidLength); }

  static int get(const Oid &oid, VarnockAnswer &answer) {
    return VarnockHostGet(oid.data(), static_cast<int32_t>(oid.size()), &answer);
  }
  static int get_next(const Oid &oid, VarnockAnswer &answer) {
    return VarnockHostGetNext(oid.data(), static_cast<int32_t>(oid.size()), &answer);
  }
  // The OID that a get-next answers, or an empty one at the end.
  static Oid next_of(const Oid &oid) {
    VarnockAnswer answer{};
    return get_next(oid, answer) ? answer_oid(answer) : Oid{};
  }

  MibVariable scalar1_ =
      make_variable(under({1, 0}), VARNOCK_TYPE_OCTET_STRING, 1, scalar_handler, "testOne");
  MibVariable scalar2_ =
      make_variable(under({2, 0}), VARNOCK_TYPE_INTEGER, 2, scalar_handler, "testTwo");
  MibVariable column1_ = make_variable(under({10, 1, 1, 0xFFFFFFFF}), VARNOCK_TYPE_COUNTER32, 1,
                                       table_handler, "testPort");
  MibVariable column2_ = make_variable(under({10, 1, 2, 0xFFFFFFFF}), VARNOCK_TYPE_GAUGE32, 2,
                                       table_handler, "testLoad");
};

TEST_F(HostVariables, RefusesInvalidAndDuplicateDescriptors) {
  MibVariable empty = scalar1_;
  empty.oidLength = 0;
  MibVariable tooLong = scalar1_;
  tooLong.oidLength = VARNOCK_MAX_OID_LEN + 1;
  MibVariable noHandler = scalar1_;
  noHandler.handler = nullptr;
  EXPECT_LT(VarnockInsertIntoVariableList(nullptr), 0);
  EXPECT_LT(VarnockInsertIntoVariableList(&empty), 0);
  EXPECT_LT(VarnockInsertIntoVariableList(&tooLong), 0);
  EXPECT_LT(VarnockInsertIntoVariableList(&noHandler), 0);
  EXPECT_EQ(VarnockHostVariableCount(), 0u);

  MibVariable longest = scalar1_;
  longest.oidLength = VARNOCK_MAX_OID_LEN;
  EXPECT_GE(VarnockInsertIntoVariableList(&scalar1_), 0);
  EXPECT_GE(VarnockInsertIntoVariableList(&longest), 0);
  // The same OID offered again, by the same or another descriptor.
  MibVariable copy = scalar1_;
  EXPECT_LT(VarnockInsertIntoVariableList(&scalar1_), 0);
  EXPECT_LT(VarnockInsertIntoVariableList(&copy), 0);

  ASSERT_EQ(VarnockHostVariableCount(), 2u);
  EXPECT_EQ(VarnockHostVariableAt(0), &scalar1_);
  EXPECT_EQ(VarnockHostVariableAt(1), &longest);
  EXPECT_EQ(VarnockHostVariableAt(2), nullptr);
  VarnockHostClearVariables();
  EXPECT_EQ(VarnockHostVariableCount(), 0u);
  EXPECT_GE(VarnockInsertIntoVariableList(&scalar1_), 0);
}

// The variables of a module that went unused: those registered from a
// position on are forgotten, the earlier ones still walked.
TEST_F(HostVariables, ForgetsTheVariablesFromAPositionOn) {
  register_test_mib(); // column2_, scalar2_, column1_, scalar1_
  EXPECT_EQ(next_of(kBase), under({1, 0}));
  VarnockHostForgetVariablesFrom(2);
  ASSERT_EQ(VarnockHostVariableCount(), 2u);
  EXPECT_EQ(next_of(kBase), under({2, 0}));
  EXPECT_EQ(next_of(under({2, 0})), under({10, 1, 2, 80}));
  VarnockHostForgetVariablesFrom(5);
  EXPECT_EQ(VarnockHostVariableCount(), 2u);
  // A range in the middle: those after it move up.
  VarnockHostClearVariables();
  register_test_mib();
  VarnockHostForgetVariables(1, 2);
  ASSERT_EQ(VarnockHostVariableCount(), 2u);
  EXPECT_EQ(VarnockHostVariableAt(0), &column2_);
  EXPECT_EQ(VarnockHostVariableAt(1), &scalar1_);
  VarnockHostForgetVariables(1, 99);
  EXPECT_EQ(VarnockHostVariableCount(), 1u);
}

// What a module hands over across its reload is taken back once, whole.
TEST(HostKeep, TakesBackWhatWasKeptOnceAndWhole) {
  const char data[] = "abcdef";
  char out[8] = {};
  EXPECT_EQ(VarnockHostTake("k", out, sizeof out), -1);
  ASSERT_EQ(VarnockHostKeep("k", "old", 3), 0);
  ASSERT_EQ(VarnockHostKeep("k", data, 6), 0); // replaces
  EXPECT_EQ(VarnockHostTake("k", nullptr, 0), 6);
  EXPECT_EQ(VarnockHostTake("k", out, sizeof out), 6);
  EXPECT_EQ(std::string(out, 6), "abcdef");
  EXPECT_EQ(VarnockHostTake("k", out, sizeof out), -1);
  ASSERT_EQ(VarnockHostKeep("k", data, 6), 0);
  EXPECT_EQ(VarnockHostTake("k", out, 5), -1); // too small: gone all the same
  EXPECT_EQ(VarnockHostTake("k", nullptr, 0), -1);
}

TEST(HostCompare, OrdersUnsignedArcsWithShorterPrefixFirst) {
  struct Case {
    Oid a, b;
    int sign;
  } cases[] = {
      {{1, 3, 6}, {1, 3, 6}, 0},    {{}, {}, 0},
      {{1, 3}, {1, 3, 6}, -1},      {{}, {0}, -1},
      {{1, 3, 7}, {1, 3, 6, 9}, 1}, {{1, 2, 9, 9}, {1, 3}, -1},
      {{0x80000000u}, {1}, 1},      {{0xFFFFFFFFu}, {0xFFFFFFFEu, 5}, 1},
  };
  for (const Case &c : cases) {
    int ab = VarnockCompare(c.a.data(), static_cast<int32_t>(c.a.size()), c.b.data(),
                            static_cast<int32_t>(c.b.size()));
    int ba = VarnockCompare(c.b.data(), static_cast<int32_t>(c.b.size()), c.a.data(),
                            static_cast<int32_t>(c.a.size()));
    EXPECT_EQ((ab > 0) - (ab < 0), c.sign)
        << ::testing::PrintToString(c.a) << " vs " << ::testing::PrintToString(c.b);
    EXPECT_EQ((ba > 0) - (ba < 0), -c.sign);
  }
}

TEST_F(HostVariables, GetAnswersExactInstancesOnly) {
  register_test_mib();
  VarnockAnswer answer{};
  ASSERT_EQ(get(under({1, 0}), answer), 1);
  EXPECT_EQ(answer_oid(answer), under({1, 0}));
  EXPECT_EQ(answer.type, VARNOCK_TYPE_OCTET_STRING);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(answer.value), answer.valueLength), "scalar one");
  EXPECT_EQ(answer.variable, &scalar1_);

  ASSERT_EQ(get(under({10, 1, 2, 8080}), answer), 1);
  EXPECT_EQ(answer_oid(answer), under({10, 1, 2, 8080}));
  EXPECT_EQ(answer.type, VARNOCK_TYPE_GAUGE32);
  int32_t value;
  ASSERT_EQ(answer.valueLength, 4);
  memcpy(&value, answer.value, 4);
  EXPECT_EQ(value, 808002);

  const Oid misses[] = {
      under({1}),        under({1, 0, 0}),         under({1, 1}),
      under({3, 0}),     under({10, 1, 1, 81}),    under({10, 1, 3, 80}),
      under({10, 1, 1}), under({10, 1, 1, 80, 0}), {},
  };
  for (const Oid &oid : misses)
    EXPECT_EQ(get(oid, answer), 0) << ::testing::PrintToString(oid);
}

TEST_F(HostVariables, GetRefusesOverlongRequestWithoutCallingAHandler) {
  register_test_mib();
  Oid request = under({10, 1, 1, 80});
  request.resize(VARNOCK_MAX_OID_LEN + 1, 0);
  VarnockAnswer answer{};
  EXPECT_EQ(get(request, answer), 0);
  EXPECT_EQ(g_calls, 0);
}

TEST_F(HostVariables, WalkVisitsEveryInstanceInAscendingOrder) {
  register_test_mib();
  const std::vector<Oid> expected = {
      under({1, 0}),           under({2, 0}),         under({10, 1, 1, 80}),
      under({10, 1, 1, 8080}), under({10, 1, 2, 80}), under({10, 1, 2, 8080}),
  };
  for (const Oid &start : {Oid{}, Oid{1, 3}, kBase}) {
    std::vector<Oid> walked;
    Oid at = start;
    for (int step = 0; step < 20; ++step) {
      at = next_of(at);
      if (at.empty())
        break;
      walked.push_back(at);
    }
    EXPECT_EQ(walked, expected) << "from " << ::testing::PrintToString(start);
  }
  VarnockAnswer answer{};
  ASSERT_EQ(get_next(under({10, 1, 1, 8080}), answer), 1);
  EXPECT_EQ(answer.variable, &column2_);
  EXPECT_EQ(answer.type, VARNOCK_TYPE_GAUGE32);
}

TEST_F(HostVariables, GetNextFindsTheInstanceAfterAnyRequest) {
  register_test_mib();
  Oid overlong = under({10, 1, 1, 80});
  overlong.resize(VARNOCK_MAX_OID_LEN + 3, 9);
  const struct {
    Oid request, next;
  } cases[] = {
      // Inside a row: past …80 but before …8080.
      {under({10, 1, 1, 80, 5}), under({10, 1, 1, 8080})},
      {overlong, under({10, 1, 1, 8080})},
      {under({10, 1, 1, 79}), under({10, 1, 1, 80})},
      {under({10, 1, 1}), under({10, 1, 1, 80})},
      {under({10}), under({10, 1, 1, 80})},
      // An index of 2^31 or more reads as negative to the handler, which
      // answers its first row: that lies before the request.
      {under({10, 1, 1, 3000000000u}), under({10, 1, 2, 80})},
      // Another subtree of equal length whose arcs look like column 1, row
      // 100: the table must still start at its first row.
      {under({5, 1, 1, 100}), under({10, 1, 1, 80})},
      // Past a scalar instance, and between the scalars.
      {under({1, 0, 0}), under({2, 0})},
      {under({1, 5}), under({2, 0})},
      // Past the end.
      {under({10, 1, 2, 8080}), {}},
      {under({10, 1, 3}), {}},
      {{2}, {}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(next_of(c.request), c.next) << ::testing::PrintToString(c.request);
}

TEST_F(HostVariables, HandlerGetsAPrivateCopyOfTheRequest) {
  register_test_mib();
  const Oid request = under({10, 1, 1, 80});
  Oid sent = request;
  VarnockAnswer answer{};
  ASSERT_EQ(VarnockHostGetNext(sent.data(), static_cast<int32_t>(sent.size()), &answer), 1);
  EXPECT_EQ(sent, request);
  // The answer keeps its value although the handlers' storage moves on.
  ASSERT_EQ(get(under({2, 0}), answer), 1);
  VarnockAnswer other{};
  ASSERT_EQ(get(under({10, 1, 1, 80}), other), 1);
  int32_t value;
  memcpy(&value, answer.value, 4);
  EXPECT_EQ(value, 7);
}

TEST_F(HostVariables, WalkSkipsAnswersItCannotUse) {
  const Fault faults[] = {Fault::Null,          Fault::NoArcs,
                          Fault::TooManyArcs,   Fault::NegativeValueLength,
                          Fault::ValueTooLong,  Fault::OutsideItsPrefix,
                          Fault::EchoesRequest, Fault::Throws};
  for (Fault fault : faults) {
    SCOPED_TRACE(static_cast<int>(fault));
    VarnockHostClearVariables();
    g_fault = fault;
    // A faulty variable before the scalars, and one between them.
    MibVariable first = make_variable(under({0, 0}), VARNOCK_TYPE_INTEGER, 1, faulty_handler, "a");
    MibVariable middle =
        make_variable(under({1, 7, 0}), VARNOCK_TYPE_INTEGER, 1, faulty_handler, "b");
    register_test_mib();
    ASSERT_GE(VarnockInsertIntoVariableList(&first), 0);
    ASSERT_GE(VarnockInsertIntoVariableList(&middle), 0);

    std::vector<Oid> walked;
    Oid at = kBase;
    for (int step = 0; step < 20; ++step) {
      at = next_of(at);
      if (at.empty())
        break;
      walked.push_back(at);
    }
    ASSERT_EQ(walked.size(), 6u);
    EXPECT_EQ(walked.front(), under({1, 0}));
    EXPECT_EQ(walked.back(), under({10, 1, 2, 8080}));

    // A get accepts only an answer for the very instance asked, which an
    // echo of the request is.
    VarnockAnswer answer{};
    EXPECT_EQ(get(under({0, 1}), answer), fault == Fault::EchoesRequest ? 1 : 0);
  }
}

TEST(HostAgent, ReportsVersionAndCpus) {
  EXPECT_GE(VarnockGetVarnockVersion(), 422);
  EXPECT_EQ(VarnockGetNcpuOnline(), sysconf(_SC_NPROCESSORS_ONLN));
}

// Catches what the library writes to the standard error stream, where
// Net-SNMP's log goes while no other output is set up.
class StderrCapture {
public:
  StderrCapture() : path_(dir_.file("stderr")) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return testsupport::read_file(path_);
  }

private:
  void restore() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  testsupport::TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

TEST(HostLog, KeepsLinesUpToTheThresholdEachWithOneNewline) {
  VarnockHostSetLogLevel(VARNOCK_LOG_WARNING);
  std::string text;
  {
    StderrCapture capture;
    VarnockSyslog(VARNOCK_LOG_ERR, "error %d", 1);
    VarnockSyslog(VARNOCK_LOG_WARNING, "warning %s\n", "two");
    VarnockSyslog(VARNOCK_LOG_DEBUG, "debug hidden");
    VarnockSyslog(VARNOCK_LOG_NOTICE, "notice hidden\n");
    VarnockHostSetLogLevel(VARNOCK_LOG_DEBUG);
    VarnockSyslog(VARNOCK_LOG_DEBUG, "debug shown\n\n");
    text = capture.text();
  }
  VarnockHostSetLogLevel(VARNOCK_LOG_WARNING);
  EXPECT_EQ(text, "error 1\nwarning two\ndebug shown\n");
}

TEST(HostLog, CutsAnOverlongMessageAndStillEndsTheLine) {
  std::string text;
  {
    StderrCapture capture;
    VarnockSyslog(VARNOCK_LOG_ERR, "%s", std::string(5000, 'x').c_str());
    text = capture.text();
  }
  ASSERT_GT(text.size(), 1000u);
  EXPECT_LT(text.size(), 5000u);
  EXPECT_EQ(text.find_first_not_of('x'), text.size() - 1);
  EXPECT_EQ(text.back(), '\n');
}

// A host whose log is not thread-safe installs a sink: every thread's lines
// reach it whole, one call per line, with the level threshold applied.
std::mutex g_sink_mutex;
std::vector<std::string> g_sunk;
void collect_line(int32_t level, const char *line) {
  std::lock_guard<std::mutex> lock(g_sink_mutex);
  g_sunk.push_back(std::to_string(level) + " " + line);
}

TEST(HostLog, SinkTakesWholeLinesFromEveryThread) {
  VarnockHostSetLogSink(collect_line);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        VarnockSyslog(VARNOCK_LOG_ERR, "thread %d line %d %s", t, i,
                      std::string(200, 'a' + t).c_str());
        VarnockSyslog(VARNOCK_LOG_DEBUG, "hidden");
      }
    });
  }
  for (std::thread &thread : threads)
    thread.join();
  VarnockHostSetLogSink(nullptr);
  ASSERT_EQ(g_sunk.size(), 2000u);
  for (const std::string &line : g_sunk) {
    const size_t letters = line.find_last_of(' ') + 1;
    EXPECT_EQ(line.substr(0, 9), "3 thread ");
    EXPECT_EQ(line.size() - letters, 201u) << line;
    EXPECT_EQ(line.find_first_not_of(line[letters], letters), line.size() - 1) << line;
    EXPECT_EQ(line.back(), '\n');
  }
}

} // namespace
