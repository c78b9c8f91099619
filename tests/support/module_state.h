// A fresh module for each test: the fixtures' SetUp calls fresh_module and
// their TearDown leave_module, so that no gate, cache, process snapshot or
// server of one test reaches the next.
#pragma once

#include <cstdint>

#include "collect/pages/fetch_page.h"
#include "collect/pages/page_refresh.h"
#include "collect/processes/footprint.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "pluginlib/topmod.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"

namespace testsupport {

// Empties the server list and forgets what every collector keeps.
inline void forget_module_state() {
  free_server_list();
  server_status_reset_for_tests();
  server_info_reset_for_tests();
  footprint_reset_for_tests();
  topmod_reset_for_tests();
  module_reset_for_tests();
}

// The agent double emptied, the module forgotten, the fake clock at now.
// A server that misbehaves may hold a fetch for receiveTimeout seconds, not
// the minute a real agent allows.
inline void fresh_module(int32_t now, int receiveTimeout = 5) {
  fake_varnock::reset();
  forget_module_state();
  fetch_page_set_receive_timeout(receiveTimeout);
  use_fake_clock(now);
}

// The real clock and the default receive time-out back, the module forgotten.
inline void leave_module() {
  use_real_clock();
  fetch_page_set_receive_timeout(0);
  forget_module_state();
}

} // namespace testsupport
