// The daemon fixture fails the running test when the daemon's error output
// holds a sanitizer's report, so that a fault the sanitizers find in the
// daemon or the module fails the integration test that provoked it.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include "tests/support/varnockd.h"

#if defined(__SANITIZE_ADDRESS__)
#define OSTRIK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRIK_TEST_ASAN 1
#endif
#endif

namespace {

TEST(SanitizerReport, FindsTheFirstLineOfEachSanitizersReport) {
  struct Case {
    const char *log;
    const char *report;
  };
  const Case cases[] = {
      {"varnockd: module ostrik serves .1.3.6.1.4.1.32473.16.3\n", ""},
      {"ok\n==123==ERROR: AddressSanitizer: heap-use-after-free on address 0x6020\nREAD\n",
       "==123==ERROR: AddressSanitizer: heap-use-after-free on address 0x6020"},
      {"collect/page_text.cpp:40:12: runtime error: signed integer overflow\n",
       "collect/page_text.cpp:40:12: runtime error: signed integer overflow"},
      {"\n==9==ERROR: LeakSanitizer: detected memory leaks\n",
       "==9==ERROR: LeakSanitizer: detected memory leaks"},
      {"no newline at the end: runtime error: x", "no newline at the end: runtime error: x"},
      {"ostrik: fetch_page: fetching url /server-status?auto\n", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(testsupport::sanitizer_report(c.log), c.report) << c.log;
  }
}

#ifdef OSTRIK_TEST_ASAN
testsupport::Varnockd *crashed = nullptr;

TEST(SanitizerReport, DaemonThatAddressSanitizerStopsFailsTheTest) {
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = "apache 1 u p 0\n";
  auto daemon = std::make_unique<testsupport::Varnockd>(setup);
  // AddressSanitizer's handler reports the fault on the standard error.
  kill(daemon->process().pid(), SIGSEGV);
  daemon->process().wait(30.0);
  crashed = daemon.get();
  EXPECT_NONFATAL_FAILURE(crashed->stop(), "ERROR: AddressSanitizer: SEGV");
  crashed = nullptr;
}
#endif

} // namespace
