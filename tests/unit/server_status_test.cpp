// The server-status collector: reading a status page into a ServerEntry, and
// the gated walk that fetches every server's page.
#include "collect/pages/page_refresh.h"
#include "collect/pages/server_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "collect/pages/balancer.h"
#include "collect/pages/fetch_page.h"
#include "collect/pages/page_number.h"
#include "collect/pages/page_text.h"
#include "collect/pages/server_info.h"
#include "collect/processes/footprint.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "platform/clock.h"
#include "pluginlib/topmod.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::ScriptedServer;

// A value no page below writes, to show that a field was left alone.
constexpr int32_t kUntouched = 4242;

// The scoreboard counts in table order: S R W K D L G.
struct Counts {
  int32_t s, r, w, k, d, l, g;
  bool operator==(const Counts &o) const {
    return s == o.s && r == o.r && w == o.w && k == o.k && d == o.d && l == o.l && g == o.g;
  }
};

std::ostream &operator<<(std::ostream &out, const Counts &c) {
  return out << "S" << c.s << " R" << c.r << " W" << c.w << " K" << c.k << " D" << c.d << " L"
             << c.l << " G" << c.g;
}

Counts counts_of(const ServerEntry &e) {
  return {e.startingCount, e.readingCount, e.replyingCount, e.keepAliveCount,
          e.dnsCount,      e.loggingCount, e.finishingCount};
}

const Counts kUntouchedCounts{kUntouched, kUntouched, kUntouched, kUntouched,
                              kUntouched, kUntouched, kUntouched};

ServerEntry make_entry(const char *version) {
  ServerEntry e;
  std::memset(&e, 0, sizeof e);
  e.port = 8080;
  std::snprintf(e.version, sizeof e.version, "%s", version);
  e.uptime = e.totalAccesses = e.totalKBytes = kUntouched;
  e.busyWorkers = e.idleWorkers = kUntouched;
  e.startingCount = e.readingCount = e.replyingCount = e.keepAliveCount = kUntouched;
  e.dnsCount = e.loggingCount = e.finishingCount = kUntouched;
  return e;
}

constexpr char kApache2[] = "Apache/2.4.71 (Debian)";
constexpr char kApache1[] = "Apache/1.3.41 (Unix)";

// The example page of a generation 2 server, one item a line.
constexpr char kExamplePage[] = "Total Accesses: 152\n"
                                "Total kBytes: 881\n"
                                "Uptime: 600\n"
                                "BusyWorkers: 3\n"
                                "IdleWorkers: 7\n"
                                "Scoreboard: W_K_R____S......\n";

// The answer of Apache 2.4.71 to GET /server-status?auto, as it comes over
// the wire, once the server has been up for 2 minutes 3 seconds.
const std::string kApache24Answer = "HTTP/1.1 200 OK\r\n"
                                    "Date: Wed, 09 Dec 2026 06:05:54 GMT\r\n"
                                    "Server: Apache/2.4.71 (Debian)\r\n"
                                    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
                                    "\r\n"
                                    "127.0.0.1\n"
                                    "ServerVersion: Apache/2.4.71 (Debian)\n"
                                    "ServerMPM: prefork\n"
                                    "Server Built: 2026-11-12T08:58:41\n"
                                    "CurrentTime: Wednesday, 09-Dec-2026 06:05:54 UTC\n"
                                    "RestartTime: Wednesday, 09-Dec-2026 06:03:51 UTC\n"
                                    "ParentServerConfigGeneration: 1\n"
                                    "ParentServerMPMGeneration: 0\n"
                                    "ServerUptimeSeconds: 123\n"
                                    "ServerUptime: 2 minutes 3 seconds\n"
                                    "Load1: 1.44\n"
                                    "Total Accesses: 17\n"
                                    "Total kBytes: 42\n"
                                    "Total Duration: 9\n"
                                    "CPUUser: 0\n"
                                    "Uptime: 123\n"
                                    "ReqPerSec: .138211\n"
                                    "BusyWorkers: 2\n"
                                    "GracefulWorkers: 0\n"
                                    "IdleWorkers: 4\n"
                                    "Scoreboard: _W_K__R.G.........\n";

std::string to_text(const std::string &answer) {
  std::vector<char> text(answer.size() + 1);
  html_to_text(answer.c_str(), text.data());
  return text.data();
}

// --- page_atoi --------------------------------------------------------------

TEST(PageAtoi, ReadsTheWholeNumberAndKeepsItsLow32Bits) {
  struct Case {
    const char *text;
    int32_t value;
  } cases[] = {
      {"152", 152},
      {"  +7x", 7},
      {"-12", -12},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},
      {"4294967295", -1},
      {"4294967296", 0},
      {"4294967297", 1},
      {"18446744073709551617", 1},                    // 2^64 + 1
      {"340282366920938463463374607431768211459", 3}, // 2^128 + 3
      {"-4294967297", -1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(page_atoi(c.text), c.value) << c.text;
  }
  EXPECT_EQ(page_atoi(nullptr), 0);
}

// --- find_label_line_at_start -----------------------------------------------

TEST(FindLabelLineAtStart, PrefersAnOccurrenceThatStartsALine) {
  struct Case {
    const char *text;
    const char *line; // nullptr: not found
  } cases[] = {
      {"ServerUptime: 2 minutes\nUptime: 123\n", "Uptime: 123"},
      {"Uptime: 5\nServerUptime: 2\n", "Uptime: 5"},
      {"ServerUptime: 2 minutes\nxUptime: 3", "Uptime: 2 minutes"}, // at no line start
      {"a ServerUptime: 1\nb Uptime: 2\nUptime: 3", "Uptime: 3"},
      {"Uptime:", "Uptime:"},
      {"x\nUptime:\nnext", "Uptime:"},
      {"Uptime", nullptr},
      {"", nullptr},
  };
  for (const Case &c : cases) {
    char line[64] = "before";
    const char *found = find_label_line_at_start("Uptime:", c.text, line, 63);
    if (c.line == nullptr) {
      EXPECT_EQ(found, nullptr) << c.text;
      EXPECT_STREQ(line, "before");
    } else {
      ASSERT_NE(found, nullptr) << c.text;
      EXPECT_EQ(std::strncmp(found, "Uptime:", 7), 0);
      EXPECT_STREQ(line, c.line) << c.text;
    }
  }
}

TEST(FindLabelLineAtStart, CutsTheLineAtTheLimit) {
  char line[8] = {};
  ASSERT_NE(find_label_line_at_start("Uptime:", "S Uptime: 1\nUptime: 123456", line, 7), nullptr);
  EXPECT_STREQ(line, "Uptime:");
}

// --- parse_server_status ----------------------------------------------------

TEST(ParseServerStatus, ReadsTheExamplePageOfASecondGenerationServer) {
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, kExamplePage);
  EXPECT_EQ(e.totalAccesses, 152);
  EXPECT_EQ(e.totalKBytes, 881);
  EXPECT_EQ(e.uptime, 600);
  EXPECT_EQ(e.busyWorkers, 3);
  EXPECT_EQ(e.idleWorkers, 7);
  EXPECT_EQ(counts_of(e), (Counts{1, 1, 1, 1, 0, 0, 0}));
}

TEST(ParseServerStatus, WorkerLabelsFollowTheServerGeneration) {
  const char *both = "BusyServers: 11\nIdleServers: 12\nBusyWorkers: 21\nIdleWorkers: 22\n";
  struct Case {
    const char *version;
    const char *page;
    int32_t busy, idle;
  } cases[] = {
      {kApache2, kExamplePage, 3, 7},
      {kApache1, kExamplePage, kUntouched, kUntouched},
      // No version from the info page: the page's own labels decide.
      {"", kExamplePage, 3, 7},
      {"", both, 21, 22},
      {"", "BusyServers: 1\nIdleServers: 2\n", 1, 2},
      {"", "ServerVersion: Apache/2.4.71\nBusyServers: 1\nIdleWorkers: 2\n", kUntouched, 2},
      {kApache1, both, 11, 12},
      {kApache2, both, 21, 22},
      {"Apache/2", both, 11, 12},   // too short to name generation 2
      {"apache/2.4", both, 11, 12}, // the comparison is case-sensitive
      {kApache2, "BusyServers: 1\nIdleServers: 2\n", kUntouched, kUntouched},
  };
  for (const Case &c : cases) {
    ServerEntry e = make_entry(c.version);
    parse_server_status(&e, c.page);
    EXPECT_EQ(e.busyWorkers, c.busy) << c.version << " | " << c.page;
    EXPECT_EQ(e.idleWorkers, c.idle) << c.version << " | " << c.page;
  }
  // The other rows do not depend on the generation.
  ServerEntry e = make_entry(kApache1);
  parse_server_status(&e, kExamplePage);
  EXPECT_EQ(e.totalAccesses, 152);
  EXPECT_EQ(e.uptime, 600);
  EXPECT_EQ(counts_of(e), (Counts{1, 1, 1, 1, 0, 0, 0}));
}

TEST(ParseServerStatus, ReadsTheUptimeLineOfApache24NotServerUptime) {
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, to_text(kApache24Answer).c_str());
  EXPECT_EQ(e.uptime, 123); // not the 2 of "ServerUptime: 2 minutes 3 seconds"
  EXPECT_EQ(e.totalAccesses, 17);
  EXPECT_EQ(e.totalKBytes, 42);
  EXPECT_EQ(e.busyWorkers, 2);
  EXPECT_EQ(e.idleWorkers, 4);
  EXPECT_EQ(counts_of(e), (Counts{0, 1, 1, 1, 0, 0, 1}));
}

TEST(ParseServerStatus, UptimeInsideAnotherLabelIsReadWhenNoLineStartsWithIt) {
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, "ServerUptime: 7 seconds\n");
  EXPECT_EQ(e.uptime, 7);
}

TEST(ParseServerStatus, FieldRulesLeaveFieldsAloneOrStoreZero) {
  struct Case {
    const char *name;
    const char *page;
    int32_t accesses, kbytes, uptime;
  } cases[] = {
      {"no_labels", "Load1: 0.5\n", kUntouched, kUntouched, kUntouched},
      {"labels_without_values", "Total Accesses:\nTotal kBytes: \nUptime:\n", kUntouched,
       kUntouched, kUntouched},
      {"not_numbers", "Total Accesses: abc\nTotal kBytes: -\nUptime: x1\n", 0, 0, 0},
      {"leading_digits", "Total Accesses: 12abc\nTotal kBytes: +5\nUptime: -3\n", 12, 5, -3},
      {"carriage_returns", "Total Accesses: 9\r\nTotal kBytes: 8\r\nUptime: 7\r\n", 9, 8, 7},
      {"beyond_32_bits", "Total Accesses: 4294967297\nTotal kBytes: 2147483648\nUptime: 1\n", 1,
       INT32_MIN, 1},
      {"beyond_64_bits",
       "Total Accesses: 18446744073709551617\nTotal kBytes: 18446744073709551615\n", 1, -1,
       kUntouched},
      {"first_line_start_wins", "Total Accesses: 1\nTotal Accesses: 2\n", 1, kUntouched,
       kUntouched},
      {"labels_are_case_sensitive", "total accesses: 1\nTOTAL KBYTES: 2\nuptime: 3\n", kUntouched,
       kUntouched, kUntouched},
  };
  for (const Case &c : cases) {
    ServerEntry e = make_entry(kApache2);
    parse_server_status(&e, c.page);
    EXPECT_EQ(e.totalAccesses, c.accesses) << c.name;
    EXPECT_EQ(e.totalKBytes, c.kbytes) << c.name;
    EXPECT_EQ(e.uptime, c.uptime) << c.name;
    EXPECT_EQ(counts_of(e), kUntouchedCounts) << c.name; // no scoreboard on these pages
  }
}

TEST(ParseServerStatus, CountsTheSevenScoreboardStates) {
  struct Case {
    const char *name;
    const char *page;
    Counts counts;
  } cases[] = {
      {"single_character", "Scoreboard: W\n", {0, 0, 1, 0, 0, 0, 0}},
      {"every_state_once", "Scoreboard: SRWKDLG\n", {1, 1, 1, 1, 1, 1, 1}},
      {"other_marks_and_lower_case", "Scoreboard: _.CIsrwkdlgX\n", {0, 0, 0, 0, 0, 0, 0}},
      {"at_the_end_of_the_text", "Scoreboard: GG", {0, 0, 0, 0, 0, 0, 2}},
      {"token_ends_at_a_blank", "Scoreboard: RR WW\n", {0, 2, 0, 0, 0, 0, 0}},
      {"token_ends_at_a_colon", "Scoreboard:: KK:WW\n", {0, 0, 0, 2, 0, 0, 0}},
      {"missing_line", "Uptime: 5\n", kUntouchedCounts},
      {"empty_line", "Scoreboard:\nUptime: 5\n", kUntouchedCounts},
      {"only_blanks", "Scoreboard:   \n", kUntouchedCounts},
      {"value_on_the_next_line_is_not_read", "Scoreboard:\nWWW\n", kUntouchedCounts},
  };
  for (const Case &c : cases) {
    ServerEntry e = make_entry(kApache2);
    parse_server_status(&e, c.page);
    EXPECT_EQ(counts_of(e), c.counts) << c.name;
  }
}

TEST(ParseServerStatus, CountsALongScoreboardToItsLastCharacter) {
  // 1024 slots: far beyond the 511 characters of a field, ending with a G.
  const char pattern[] = "_SRWKDLG.Ciwk";
  std::string board;
  Counts expected{0, 0, 0, 0, 0, 0, 0};
  int passed_over = 0;
  for (int i = 0; i < 1023; ++i) {
    board += pattern[i % (sizeof pattern - 1)];
  }
  board += 'G';
  for (char c : board) {
    switch (c) {
    case 'S':
      ++expected.s;
      break;
    case 'R':
      ++expected.r;
      break;
    case 'W':
      ++expected.w;
      break;
    case 'K':
      ++expected.k;
      break;
    case 'D':
      ++expected.d;
      break;
    case 'L':
      ++expected.l;
      break;
    case 'G':
      ++expected.g;
      break;
    default:
      ++passed_over;
    }
  }
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, ("Uptime: 1\nScoreboard: " + board + "\nIdleWorkers: 3\n").c_str());
  EXPECT_EQ(counts_of(e), expected);
  const Counts c = counts_of(e);
  EXPECT_EQ(c.s + c.r + c.w + c.k + c.d + c.l + c.g + passed_over, 1024);
  EXPECT_EQ(e.idleWorkers, 3);
}

TEST(ParseServerStatus, ALineIsReadUpToItsLimit) {
  // "Scoreboard: " is 12 characters: 8180 slots of the line are read.
  const std::string board = std::string(8180, 'W') + std::string(100, 'K');
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, ("Scoreboard: " + board).c_str());
  EXPECT_EQ(counts_of(e), (Counts{0, 0, 8180, 0, 0, 0, 0}));
}

// --- parse_status_extras ----------------------------------------------------

// A page of Apache 2.4 under the event MPM, with totals beyond 32 bits.
constexpr char kEventPage[] = "ServerVersion: Apache/2.4.71 (Debian)\n"
                              "ServerMPM: event\n"
                              "ParentServerConfigGeneration: 3\n"
                              "ParentServerMPMGeneration: 2\n"
                              "ServerUptime: 1 minute 1 second\n"
                              "Load1: 4.47\nLoad5: 2.15\nLoad15: 0.98\n"
                              "Total Accesses: 5000000000\n"
                              "Total kBytes: 18446744073709551615\n"
                              "Total Duration: 1234\n"
                              "CPULoad: .0813008\n"
                              "BusyWorkers: 1\nGracefulWorkers: 2\nIdleWorkers: 19\n"
                              "Processes: 2\nStopping: 1\nConnsTotal: 7\nConnsAsyncWaitIO: 1\n"
                              "ConnsAsyncWriting: 2\nConnsAsyncKeepAlive: 3\nConnsAsyncClosing: 4\n"
                              "Scoreboard: __IC.W..G_\n";

// The items present, by slot, and the MPM's bit.
std::vector<int> present_slots(const ServerEntry &e) {
  std::vector<int> slots;
  for (int slot = 0; slot <= EXTRA_COUNT; ++slot) {
    if ((e.extras.present >> slot) & 1u) {
      slots.push_back(slot);
    }
  }
  return slots;
}

TEST(ParseStatusExtras, ReadsEveryItemOfAnEventPage) {
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, kEventPage);
  EXPECT_EQ(e.extras.present, (1u << (EXTRA_COUNT + 1)) - 1); // every item and the MPM
  EXPECT_STREQ(e.extras.mpm, "event");
  const uint64_t expected[EXTRA_COUNT] = {
      5000000000ull, UINT64_MAX, 1234, 8, 447, 215, 98, 2, 1, 2, 7, 2, 3, 4, 1, 1, 1, 3, 10, 3, 2};
  for (int slot = 0; slot < EXTRA_COUNT; ++slot) {
    EXPECT_EQ(e.extras.value[slot], expected[slot]) << "slot " << slot;
  }
  EXPECT_EQ(e.totalAccesses, 705032704); // the original field keeps the low 32 bits
}

TEST(ParseStatusExtras, APreforkPageLacksTheEventItems) {
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, kEventPage);
  parse_server_status(&e, to_text(kApache24Answer).c_str()); // a later page replaces all
  EXPECT_STREQ(e.extras.mpm, "prefork");
  EXPECT_EQ(present_slots(e),
            (std::vector<int>{EXTRA_TOTAL_ACCESSES, EXTRA_TOTAL_KBYTES, EXTRA_TOTAL_DURATION,
                              EXTRA_LOAD1, EXTRA_GRACEFUL_WORKERS, EXTRA_IDLE_CLEANUP_SLOTS,
                              EXTRA_CLOSING_SLOTS, EXTRA_OPEN_SLOTS, EXTRA_SCOREBOARD_SIZE,
                              EXTRA_CONFIG_GENERATION, EXTRA_MPM_GENERATION, EXTRA_COUNT}));
  EXPECT_EQ(e.extras.value[EXTRA_TOTAL_ACCESSES], 17u);
  EXPECT_EQ(e.extras.value[EXTRA_LOAD1], 144u);
  EXPECT_EQ(e.extras.value[EXTRA_OPEN_SLOTS], 10u); // _W_K__R.G.........
  EXPECT_EQ(e.extras.value[EXTRA_SCOREBOARD_SIZE], 18u);
  EXPECT_EQ(e.extras.value[EXTRA_CONFIG_GENERATION], 1u);
}

TEST(ParseStatusExtras, AnItemCountsOnlyWhenALineStartsWithItsLabelAndAValue) {
  struct Case {
    const char *page;
    bool present;
    uint64_t load1;
  } cases[] = {
      {"Load1: 1\nLoad1: 2\n", true, 100}, // the first line wins
      {"Load1: abc\n", true, 0},
      {"Load1:\nLoad1: 3\n", true, 300}, // a label without a value is passed over
      {"xLoad1: 3\n", false, 0},
      {"CPULoad: 3\n", false, 0},
      {"Load1:   \r\n", false, 0},
      {"load1: 3\n", false, 0},
      {"Load1: 3", true, 300}, // the text's last line, without a line feed
  };
  for (const Case &c : cases) {
    ServerEntry e = make_entry(kApache2);
    parse_status_extras(&e, c.page);
    EXPECT_EQ(((e.extras.present >> EXTRA_LOAD1) & 1u) != 0, c.present) << c.page;
    EXPECT_EQ(e.extras.value[EXTRA_LOAD1], c.load1) << c.page;
  }
  // An MPM name longer than its field is cut; a scoreboard is counted whole.
  ServerEntry e = make_entry(kApache1);
  const std::string board = std::string(10000, '.') + "IC";
  parse_status_extras(&e,
                      ("ServerMPM: " + std::string(40, 'm') + "\nScoreboard: " + board).c_str());
  EXPECT_EQ(std::string(e.extras.mpm), std::string(STATUS_MPM_FIELD - 1, 'm'));
  EXPECT_EQ(e.extras.value[EXTRA_SCOREBOARD_SIZE], 10002u);
  EXPECT_EQ(e.extras.value[EXTRA_OPEN_SLOTS], 10000u);
}

TEST(PageNumbers, ReadCountersWholeAndFractionsInHundredths) {
  EXPECT_EQ(page_u64("5000000000"), 5000000000ull);
  EXPECT_EQ(page_u64(" +18446744073709551615x"), UINT64_MAX);
  EXPECT_EQ(page_u64("18446744073709551617"), 1u); // the low 64 bits
  EXPECT_EQ(page_u64("-5"), 0u);
  EXPECT_EQ(page_u64(nullptr), 0u);
  struct Case {
    const char *text;
    uint32_t hundredths;
  } cases[] = {
      {"1.44", 144},
      {".0813008", 8},
      {"1.449", 144},
      {"99.999", 9999},
      {" 12\n", 1200},
      {"1.2e-05", 0},
      {"1.5e2", 15000},
      {"2.5E+1", 2500},
      {"3e", 300},
      {"-1.5", 0},
      {"abc", 0},
      {".", 0},
      {"42949672.94", 4294967294u},
      {"42949672.95", UINT32_MAX},
      {"1e300", UINT32_MAX},
      {"123456789012345678901234567890.5", UINT32_MAX},
      {"0.00000000000000000000000000000000000001e40", 10000},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(page_hundredths(c.text), c.hundredths) << c.text;
  }
  EXPECT_EQ(page_hundredths(nullptr), 0u);
}

// --- balancer members ---------------------------------------------------------

// Two balancers as Apache 2.4 writes them with "ProxyStatus On", the
// longer name first, and lines that must give no row.
const std::string kBalancerPage =
    "Total Accesses: 9\n"
    "ProxyBalancer[0]Name: balancer://app\n"
    "ProxyBalancer[0]Worker[0]Name: http://127.0.0.1:8082\n"
    "ProxyBalancer[0]Worker[0]Status: Init Err \n"
    "ProxyBalancer[0]Worker[0]Elected: 18446744073709551615\n"
    "ProxyBalancer[0]Worker[0]Busy: 2\n"
    "ProxyBalancer[0]Worker[0]Sent: 1.2K\n"
    "ProxyBalancer[0]Worker[0]Rcvd: 3.4M\n"
    "ProxyBalancer[0]Worker[1]Name: http://127.0.0.1:8081\n"
    "ProxyBalancer[0]Worker[1]Status: Init Ok \n"
    "ProxyBalancer[0]Worker[1]Elected: 7\n"
    "ProxyBalancer[0]Worker[1]Sent: 512\n"
    "ProxyBalancer[0]Worker[2]Name: http://has a blank\n"
    "ProxyBalancer[0]Worker[3]Name: http://127.0.0.1:8081\n"
    "ProxyBalancer[0]Worker[3]Status: Init Dis \n"
    "ProxyBalancer[0]Worker[4]Status: Init Ok \n"
    "ProxyBalancer[1]Name: balancer://b\n"
    "ProxyBalancer[1]Worker[0]Name: ajp://[::1]:8009\n"
    "ProxyBalancer[1]Worker[0]Status: Init Stop \n"
    "ProxyBalancer[2]Worker[0]Name: http://no.balancer.name\n"
    "ProxyBalancer[3]Name: balancer://xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
    "ProxyBalancer[3]Worker[0]Name: http://too.long\n"
    "ProxyBalancer[x]Worker[0]Name: http://bad.number\n";

struct MemberRow {
  std::string balancer, name, flags;
  int32_t state;
  uint64_t elected, sent, received;
  uint32_t busy, present;
};

std::vector<MemberRow> members_of(const ServerEntry &e) {
  std::vector<MemberRow> rows;
  BalancerMemberView m;
  for (size_t i = 0; balancer_member_at(&e, i, &m); ++i) {
    rows.push_back({std::string(m.balancer, m.balancerLength), std::string(m.name, m.nameLength),
                    m.flags, m.state, m.elected, m.sent, m.received, m.busy, m.present});
  }
  return rows;
}

TEST(ParseBalancerMembers, ReadsEachMemberOnceInIndexOrderAndPassesOverUnfitNames) {
  ServerEntry e = make_entry(kApache2);
  parse_server_status(&e, kBalancerPage.c_str());
  const std::vector<MemberRow> rows = members_of(e);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].balancer, "balancer://b");
  EXPECT_EQ(rows[0].name, "ajp://[::1]:8009");
  EXPECT_EQ(rows[0].state, MEMBER_STOPPED);
  EXPECT_EQ(rows[0].present, MEMBER_HAS_STATUS);
  // Within a balancer by URL; the second listing of :8081 (disabled) is
  // passed over.
  EXPECT_EQ(rows[1].name, "http://127.0.0.1:8081");
  EXPECT_EQ(rows[1].state, MEMBER_OK);
  EXPECT_EQ(rows[1].flags, "Init Ok");
  EXPECT_EQ(rows[1].elected, 7u);
  EXPECT_EQ(rows[1].sent, 512u);
  EXPECT_EQ(rows[1].present, MEMBER_HAS_STATUS | MEMBER_HAS_ELECTED | MEMBER_HAS_SENT);
  EXPECT_EQ(rows[2].name, "http://127.0.0.1:8082");
  EXPECT_EQ(rows[2].state, MEMBER_ERROR);
  EXPECT_EQ(rows[2].elected, UINT64_MAX);
  EXPECT_EQ(rows[2].busy, 2u);
  EXPECT_EQ(rows[2].sent, 1228u);        // 1.2 x 1024, rounded down
  EXPECT_EQ(rows[2].received, 3565158u); // 3.4 x 1024^2
  EXPECT_EQ(rows[2].present, 31u);

  // A page that lists none any more leaves none.
  parse_server_status(&e, "Total Accesses: 10\n");
  EXPECT_TRUE(members_of(e).empty());
  EXPECT_EQ(e.balancers, nullptr);
}

TEST(ParseBalancerMembers, AHostilePageKeepsAtMostTheLimit) {
  std::string page = "ProxyBalancer[0]Name: balancer://many\n";
  for (size_t i = 0; i < BALANCER_MEMBER_LIMIT + 50; ++i) {
    page += "ProxyBalancer[0]Worker[" + std::to_string(i) + "]Name: http://m" + std::to_string(i) +
            "\nProxyBalancer[0]Worker[" + std::to_string(i) + "]Status: \x01\x7f" +
            std::string(100, 'F') + "\n";
  }
  ServerEntry e = make_entry(kApache2);
  parse_balancer_members(&e, page.c_str());
  ASSERT_EQ(balancer_member_count(&e), BALANCER_MEMBER_LIMIT);
  BalancerMemberView m;
  ASSERT_TRUE(balancer_member_at(&e, 0, &m));
  EXPECT_EQ(std::string(m.flags), "??" + std::string(BALANCER_FLAGS_MAX - 2, 'F'));
  EXPECT_EQ(m.state, MEMBER_OTHER);
  balancer_state_free(e.balancers);
}

TEST(ParseBalancerMembers, StatesFollowTheFlagsAdministrativeFirst) {
  const std::pair<const char *, int32_t> cases[] = {
      {"Init Ok", MEMBER_OK},
      {"Init Err", MEMBER_ERROR},
      {"Init Dis", MEMBER_DISABLED},
      {"Init Dis Err", MEMBER_DISABLED},
      {"Init Stop Err", MEMBER_STOPPED},
      {"Init Drn Ok", MEMBER_DRAINING},
      {"Init Stby Ok", MEMBER_HOT_STANDBY},
      {"Init Spar Ok", MEMBER_HOT_SPARE},
      {"Init HcFl", MEMBER_HEALTH_CHECK_FAILED},
      {"Init Ign Ok", MEMBER_OK},
      {"Shut", MEMBER_OTHER},
      {"", MEMBER_OTHER},
      {"Oksy Errant", MEMBER_OTHER},
  };
  for (const auto &[flags, state] : cases) {
    EXPECT_EQ(balancer_member_state(flags), state) << flags;
  }
}

TEST(ParseBalancerMembers, SizesInBytesAsPreciseAsWritten) {
  const std::pair<const char *, uint64_t> cases[] = {
      {"0K", 0},
      {"512", 512},
      {" 2K", 2048},
      {"1.5M", 1572864},
      {"1.25G", 1342177280},
      {"16E", UINT64_MAX},
      {"99999999999999999999999", UINT64_MAX},
      {"15.9999999E", 18446742920788047009u},
  };
  for (const auto &[text, bytes] : cases) {
    uint64_t value = 1;
    EXPECT_TRUE(balancer_size_bytes(text, &value)) << text;
    EXPECT_EQ(value, bytes) << text;
  }
  uint64_t value = 7;
  EXPECT_FALSE(balancer_size_bytes("K", &value));
  EXPECT_FALSE(balancer_size_bytes(".5K", &value));
  EXPECT_EQ(value, 7u);
}

// --- refresh_server_status --------------------------------------------------

using testsupport::fake_now;

int requests_for(const ScriptedServer &server, const std::string &path) {
  int n = 0;
  for (const std::string &request : server.requests()) {
    n += request.rfind("GET " + path + " HTTP/1.0\r\n", 0) == 0 ? 1 : 0;
  }
  return n;
}

int status_requests(const ScriptedServer &server) {
  return requests_for(server, "/server-status?auto");
}

class RefreshServerStatus : public ::testing::Test {
protected:
  void SetUp() override { testsupport::fresh_module(1000000); }
  void TearDown() override { testsupport::leave_module(); }

  ServerEntry *add(int port, const char *version = kApache2) {
    EXPECT_EQ(add_server(port, "user", "pass", 0, "dXNlcjpwYXNz"), 1);
    ServerEntry *e = find_server(port);
    std::snprintf(e->version, sizeof e->version, "%s", version);
    return e;
  }
};

TEST_F(RefreshServerStatus, FetchesAndReadsEveryServerInListOrder) {
  ScriptedServer first(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 4);
  ScriptedServer second(
      ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\n<b>" + std::string(kExamplePage) + "</b>"),
      ScriptedServer::End::Close, 4);
  ServerEntry *a = add(first.port());
  ServerEntry *b = add(second.port());

  EXPECT_EQ(refresh_server_status(), 0);

  EXPECT_EQ(a->uptime, 123);
  EXPECT_EQ(a->totalAccesses, 17);
  EXPECT_EQ(a->idleWorkers, 4);
  EXPECT_EQ(counts_of(*a), (Counts{0, 1, 1, 1, 0, 0, 1}));
  EXPECT_EQ(b->uptime, 600);
  EXPECT_EQ(b->totalKBytes, 881);
  EXPECT_EQ(counts_of(*b), (Counts{1, 1, 1, 1, 0, 0, 0}));

  ASSERT_EQ(status_requests(first), 1);
  for (const std::string &request : first.requests()) {
    if (request.rfind("GET /server-status?auto", 0) == 0) {
      EXPECT_NE(request.find("Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos)
          << request;
    }
  }
}

TEST_F(RefreshServerStatus, AServerThatCannotBeFetchedKeepsItsValues) {
  const int dead_port = testsupport::free_tcp_port();
  ScriptedServer empty({}, ScriptedServer::End::Close, 4); // closes without a byte
  ScriptedServer live(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 4);
  ServerEntry *dead = add(dead_port);
  ServerEntry *silent = add(empty.port());
  ServerEntry *ok = add(live.port());
  dead->uptime = silent->uptime = 55;
  dead->replyingCount = silent->replyingCount = 9;

  EXPECT_EQ(refresh_server_status(), 0);

  EXPECT_EQ(dead->uptime, 55);
  EXPECT_EQ(dead->replyingCount, 9);
  EXPECT_EQ(silent->uptime, 55);
  EXPECT_EQ(silent->replyingCount, 9);
  EXPECT_EQ(ok->uptime, 123); // the walk goes on past the failures
}

TEST_F(RefreshServerStatus, FetchesAtMostOnceInTenSeconds) {
  ScriptedServer server(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 8);
  ServerEntry *e = add(server.port());

  // (seconds after the first refresh, status fetches so far)
  const std::pair<int32_t, int> steps[] = {
      {0, 1},          // the first call after load always runs
      {0, 1},  {9, 1}, // within the window: nothing is fetched
      {10, 2},         // ten seconds after the first: fetched again
      {19, 2}, {20, 3},
  };
  int before = 0;
  for (const auto &[offset, fetches] : steps) {
    fake_now = 1000000 + offset;
    e->uptime = -1;
    EXPECT_EQ(refresh_server_status(), 0);
    EXPECT_EQ(status_requests(server), fetches) << "at +" << offset;
    // A refresh that is not due leaves the stored values alone.
    EXPECT_EQ(e->uptime, fetches > before ? 123 : -1) << "at +" << offset;
    before = fetches;
  }
}

TEST_F(RefreshServerStatus, AClockSetBackHoldsTheRefreshUntilTenSecondsPassAgain) {
  ScriptedServer server(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 8);
  add(server.port());

  const std::pair<int32_t, int> steps[] = {
      {1000000, 1}, {999000, 1},                // set back a quarter of an hour
      {999999, 1},  {1000009, 1}, {1000010, 2}, // ten seconds after the last refresh
  };
  for (const auto &[now, fetches] : steps) {
    fake_now = now;
    EXPECT_EQ(refresh_server_status(), 0);
    EXPECT_EQ(status_requests(server), fetches) << "at " << now;
  }
}

TEST_F(RefreshServerStatus, TheInfoRefreshRunsOnlyWhenTheStatusRefreshIsDue) {
  ScriptedServer server(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 12);
  add(server.port());

  // (seconds after the first refresh, status fetches, info fetches so far)
  struct Step {
    int32_t offset;
    int status, info;
  } steps[] = {
      {0, 1, 1},   // both run first
      {295, 2, 1}, // status due, info not yet (its 300 seconds)
      {302, 2, 1}, // info would be due, but the status refresh is not: info is not asked
      {305, 3, 2}, // status due again: info runs first
  };
  for (const Step &step : steps) {
    fake_now = 1000000 + step.offset;
    refresh_server_status();
    EXPECT_EQ(status_requests(server), step.status) << "at +" << step.offset;
    EXPECT_EQ(requests_for(server, "/server-info"), step.info) << "at +" << step.offset;
  }
  // The info page is fetched before the status page.
  ASSERT_GE(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].rfind("GET /server-info ", 0), 0u);
}

// The 32-bit time wraps to negative values on 19 January 2038. Every gate
// (info 300 s, status 10 s, footprint 20 s, document root its interval) goes
// on counting seconds across the wrap, and a module loaded after it still
// refreshes at once.
TEST_F(RefreshServerStatus, EveryGateKeepsItsPaceAcrossThe2038Wrap) {
  ScriptedServer server(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 16);
  ServerEntry *e = add(server.port());
  e->fileCheckInterval = 60;
  std::snprintf(e->documentRoot, sizeof e->documentRoot, "/nonexistent-docroot");
  const auto at = [](int32_t start, uint32_t offset) {
    return static_cast<int32_t>(static_cast<uint32_t>(start) + offset);
  };
  // (seconds after the first call; status, info fetches and footprint
  // refreshes so far; seconds after the first call of the last scan)
  struct Step {
    uint32_t offset;
    int status, info, footprint;
    uint32_t scan;
  };
  const Step across[] = {
      {0, 1, 1, 1, 0},     {9, 1, 1, 1, 0}, // wrapped at +4: nothing is due
      {20, 2, 1, 2, 0},    {61, 3, 1, 3, 61},   {299, 4, 1, 4, 299},
      {309, 5, 2, 4, 299}, {329, 6, 2, 5, 299},
  };
  const Step loaded_after[] = {{0, 1, 1, 1, 0}, {9, 1, 1, 1, 0}, {20, 2, 1, 2, 0}};
  for (const auto &[start, steps] :
       {std::pair{INT32_MAX - 3, std::vector(across, std::end(across))},
        std::pair{INT32_MIN + 1000, std::vector(loaded_after, std::end(loaded_after))}}) {
    server_status_reset_for_tests();
    server_info_reset_for_tests();
    footprint_reset_for_tests();
    topmod_reset_for_tests();
    e->lastDocScan = 0;
    const int status0 = status_requests(server);
    const int info0 = requests_for(server, "/server-info");
    const int snapshots0 = fake_varnock::proc_cache_calls();
    for (const Step &step : steps) {
      fake_now = at(start, step.offset);
      refresh_server_status();
      refresh_footprint();
      EXPECT_EQ(status_requests(server) - status0, step.status) << start << " +" << step.offset;
      EXPECT_EQ(requests_for(server, "/server-info") - info0, step.info)
          << start << " +" << step.offset;
      // Each footprint refresh asks for two snapshots: topProcs' and its own.
      EXPECT_EQ(fake_varnock::proc_cache_calls() - snapshots0, 2 * step.footprint)
          << start << " +" << step.offset;
      EXPECT_EQ(e->lastDocScan, at(start, step.scan)) << start << " +" << step.offset;
    }
  }
}

// A clock on which every status fetch of the server takes 8 seconds.
const ScriptedServer *slow_server = nullptr;
int32_t slow_offset = 0;
int32_t slow_clock() { return 3000000 + slow_offset + 8 * status_requests(*slow_server); }

TEST_F(RefreshServerStatus, TheWindowStartsWhenTheWalkEnds) {
  ScriptedServer server(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 8);
  add(server.port());
  slow_server = &server;
  platform_set_time_source(slow_clock);

  refresh_server_status(); // starts at 3000000, ends at 3000008
  ASSERT_EQ(status_requests(server), 1);
  slow_offset = 9; // 3000017: 17 seconds after the start, 9 after the end
  refresh_server_status();
  EXPECT_EQ(status_requests(server), 1);
  slow_offset = 10;
  refresh_server_status();
  EXPECT_EQ(status_requests(server), 2);
  testsupport::use_real_clock();
  slow_server = nullptr;
  slow_offset = 0;
}

TEST_F(RefreshServerStatus, AnEmptyListStillStampsTheRefresh) {
  EXPECT_EQ(refresh_server_status(), 0);
  ScriptedServer server(ScriptedServer::whole(kApache24Answer), ScriptedServer::End::Close, 4);
  add(server.port());
  fake_now += 9;
  refresh_server_status();
  EXPECT_EQ(status_requests(server), 0);
  fake_now += 1;
  refresh_server_status();
  EXPECT_EQ(status_requests(server), 1);
}

} // namespace

namespace {

// The worker PIDs of Apache 2.4's HTML status page: the event MPM's process
// table and the worker table (prefork's too), each PID once; the process
// table's "Sum" row and the key's rows are no workers.
TEST(StatusPagePids, FromTheProcessAndWorkerTables) {
  const char *page = "<table><tr><th rowspan=\"2\">Slot</th><th rowspan=\"2\">PID</th></tr>\n"
                     "<tr><td>0</td><td>20047</td><td>no</td></tr>\n"
                     "<tr><td>1</td><td>20048</td><td>no</td></tr>\n"
                     "<tr><td>Sum</td><td>3</td><td>0</td></tr></table>\n"
                     "<table border=\"0\"><tr><th>Srv</th><th>PID</th><th>Acc</th>\n"
                     "<tr><td><b>0-0</b></td><td>20048</td><td>0/1/1</td><td>_\n"
                     "<tr><td><b>2-0</b></td><td>20049</td><td>1/0/0</td><td><b>W</b>\n"
                     "<tr><td><b>3-x</b></td><td>4</td></tr>\n"
                     "</table><table><tr><th>PID</th><td>OS process ID</td></tr></table>";
  EXPECT_EQ(status_page_pids(page), (std::vector<int32_t>{20047, 20048, 20049}));
  EXPECT_TRUE(status_page_pids("<tr><td>1</td><td>99999999999</td>").empty());
  EXPECT_TRUE(status_page_pids(nullptr).empty());
}

} // namespace

namespace {

// The balancer table through its handler, from a page that a real fetch
// read: rows in index order (port, balancer, member), a column without a
// value passed over by a get-next and answered by no get.
TEST_F(RefreshServerStatus, BalancerMembersAreRowsOfTheirTable) {
  ScriptedServer page(ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\n" + kBalancerPage),
                      ScriptedServer::End::Close, 4);
  const ServerEntry *e = add(page.port());
  EXPECT_EQ(refresh_server_status(), 0);
  ASSERT_EQ(balancer_member_count(e), 3u);

  constexpr int kFirst = OSTRIK_EXT_VARIABLE_COUNT - OSTRIK_CERT_COLUMNS - OSTRIK_BALANCER_COLUMNS;
  const auto column = [](int magic) { return &ostrik_ext_variables[kFirst + magic - 1]; };
  const auto index = [&](const std::string &balancer, const std::string &member) {
    std::vector<uint32_t> oid(column(1)->oid, column(1)->oid + column(1)->oidLength - 1);
    oid.push_back(static_cast<uint32_t>(e->port));
    for (const std::string &name : {balancer, member}) {
      oid.push_back(static_cast<uint32_t>(name.size()));
      oid.insert(oid.end(), name.begin(), name.end());
    }
    return oid;
  };
  const auto at = [](std::vector<uint32_t> oid, int magic) {
    oid[11] = static_cast<uint32_t>(magic);
    return oid;
  };
  const std::vector<uint32_t> stopped = index("balancer://b", "ajp://[::1]:8009");
  const std::vector<uint32_t> ok = index("balancer://app", "http://127.0.0.1:8081");
  const std::vector<uint32_t> error = index("balancer://app", "http://127.0.0.1:8082");

  std::vector<uint32_t> oid(column(4)->oid, column(4)->oid + column(4)->oidLength - 1);
  std::vector<int32_t> states;
  for (testsupport::Answer a; (a = testsupport::ask(column(4), oid, false)).answered();) {
    oid = a.oid;
    states.push_back(a.integer());
  }
  EXPECT_EQ(states, (std::vector<int32_t>{MEMBER_STOPPED, MEMBER_OK, MEMBER_ERROR}));
  EXPECT_EQ(oid, at(error, 4));

  EXPECT_EQ(testsupport::ask(column(3), at(ok, 3), true).text(), "http://127.0.0.1:8081");
  EXPECT_EQ(testsupport::ask(column(2), at(ok, 2), true).text(), "balancer://app");
  EXPECT_EQ(testsupport::ask(column(5), at(error, 5), true).text(), "Init Err");
  EXPECT_EQ(testsupport::ask(column(9), at(error, 9), true).counter, 3565158u);
  EXPECT_EQ(testsupport::ask(column(7), at(error, 7), true).integer(), 2);
  // The stopped member's lines give no elected count: the walk goes on to
  // the next member that has one, and a get of it answers nothing.
  EXPECT_FALSE(testsupport::ask(column(6), at(stopped, 6), true).answered());
  const testsupport::Answer next = testsupport::ask(column(6), at(stopped, 6), false);
  EXPECT_EQ(next.oid, at(ok, 6));
  EXPECT_EQ(next.counter, 7u);
  std::vector<uint32_t> shorter = at(ok, 1);
  shorter.pop_back();
  EXPECT_FALSE(testsupport::ask(column(1), shorter, true).answered());
  EXPECT_EQ(testsupport::ask(column(1), shorter, false).oid, at(ok, 1));
}

} // namespace
