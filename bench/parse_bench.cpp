// Reading the two pages of a real Apache 2.4: the server-info page of an
// instance with every module that Debian enables by default (plus mod_info),
// and a /server-status?auto page, both captured whole by
// bench/capture-pages.sh into bench/data/. Reports bytes per second of page.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "collect/pages/page_text.h"
#include "collect/pages/server_info.h"
#include "collect/pages/server_status.h"
#include "config/server_entry.h"

#ifndef OSTRIK_BENCH_DATA_DIR
#define OSTRIK_BENCH_DATA_DIR "bench/data"
#endif

namespace {

std::string load(const char *name) {
  const std::string path = std::string(OSTRIK_BENCH_DATA_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string &info_page() {
  static const std::string page = load("server-info-debian.http");
  return page;
}

const std::string &status_page() {
  static const std::string page = load("server-status-auto.http");
  return page;
}

bool check_page(benchmark::State &state, const std::string &page) {
  if (page.empty()) {
    state.SkipWithError("page missing: run bench/capture-pages.sh");
    return false;
  }
  return true;
}

// The conversion alone.
void BM_HtmlToTextInfoPage(benchmark::State &state) {
  const std::string &page = info_page();
  if (!check_page(state, page)) {
    return;
  }
  std::vector<char> text(page.size() + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(html_to_text(page.c_str(), text.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
  state.counters["page_bytes"] = static_cast<double>(page.size());
}
BENCHMARK(BM_HtmlToTextInfoPage);

// The field rules alone, on the page already reduced to text.
void BM_ServerInfoRules(benchmark::State &state) {
  const std::string &page = info_page();
  if (!check_page(state, page)) {
    return;
  }
  std::vector<char> text(page.size() + 1);
  html_to_text(page.c_str(), text.data());
  ServerEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.port = 80;
  for (auto _ : state) {
    parse_server_info(&entry, text.data());
    benchmark::DoNotOptimize(entry.maxProcs);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
  if (std::strncmp(entry.version, "Apache/2.4", 10) != 0) {
    state.SkipWithError("the server-info page gave no Apache/2.4 version");
  }
}
BENCHMARK(BM_ServerInfoRules);

// What the server-info refresh does with one page: conversion, then rules.
void BM_ServerInfoPage(benchmark::State &state) {
  const std::string &page = info_page();
  if (!check_page(state, page)) {
    return;
  }
  std::vector<char> text(page.size() + 1);
  ServerEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.port = 80;
  for (auto _ : state) {
    html_to_text(page.c_str(), text.data());
    parse_server_info(&entry, text.data());
    benchmark::DoNotOptimize(entry.maxProcs);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_ServerInfoPage);

// What the server-status refresh does with one page: conversion, then rules.
void BM_ServerStatusPage(benchmark::State &state) {
  const std::string &page = status_page();
  if (!check_page(state, page)) {
    return;
  }
  std::vector<char> text(page.size() + 1);
  ServerEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.port = 80;
  std::snprintf(entry.version, sizeof entry.version, "Apache/2.4.71 (Debian)");
  for (auto _ : state) {
    html_to_text(page.c_str(), text.data());
    parse_server_status(&entry, text.data());
    benchmark::DoNotOptimize(entry.totalAccesses);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
  state.counters["page_bytes"] = static_cast<double>(page.size());
  if (entry.totalAccesses == 0) {
    state.SkipWithError("the status page gave no access total");
  }
}
BENCHMARK(BM_ServerStatusPage);

} // namespace

BENCHMARK_MAIN();
