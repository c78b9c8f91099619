// The access-log line parser on generated `combined` lines (and on a format
// with %v and %D): lines per second of CPU time (items_processed = lines).
//
// The same program makes and reads the files of bench/log-compare.sh:
//   log_parse_bench --generate N FILE   writes N generated combined lines
//   log_parse_bench --file FILE         reads FILE as the module does (big
//       reads, whole lines), counts requests by status class and bytes
//       sent, and prints the totals
// Without these options it runs the Google Benchmark cases.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pluginlib/log_format.h"

namespace {

// A small, fixed pseudo-random sequence, so that every run reads the same
// lines.
struct Random {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

const char *const kMethods[] = {"GET", "GET", "GET", "GET", "POST", "HEAD"};
const char *const kPaths[] = {"/",
                              "/index.html",
                              "/static/css/site.css",
                              "/static/js/app.min.js",
                              "/images/logo.png",
                              "/api/v1/items?page=2&sort=name",
                              "/search?q=apache+log+format",
                              "/wp-login.php",
                              "/blog/2026/12/how-we-monitor-apache",
                              "/favicon.ico"};
const int kStatuses[] = {200, 200, 200, 200, 200, 200, 304, 304, 301, 404, 404, 403, 500, 503};
const char *const kReferers[] = {"-", "https://www.example.org/",
                                 "https://www.google.com/search?q=example",
                                 "https://www.example.org/blog/2026/12/"};
const char *const kAgents[] = {
    "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
    "Gecko) Version/17.1 Mobile/15E148 Safari/604.1",
    "curl/7.88.1", "Googlebot/2.1 (+http://www.google.com/bot.html)"};

template <size_t N> const char *pick(Random &random, const char *const (&list)[N]) {
  return list[random.below(N)];
}

// One combined line as Apache writes it, with its line feed.
void append_line(Random &random, uint32_t second, std::string *out) {
  char line[512];
  const int status = kStatuses[random.below(sizeof kStatuses / sizeof kStatuses[0])];
  char bytes[24];
  if (status == 304 || random.below(50) == 0) {
    std::snprintf(bytes, sizeof bytes, "-");
  } else {
    std::snprintf(bytes, sizeof bytes, "%u", 200 + random.below(200000));
  }
  const int length = std::snprintf(
      line, sizeof line,
      "%u.%u.%u.%u - %s [09/Dec/2026:%02u:%02u:%02u +0000] \"%s %s HTTP/1.1\" %d %s \"%s\" "
      "\"%s\"\n",
      10 + random.below(200), random.below(256), random.below(256), 1 + random.below(254),
      random.below(20) == 0 ? "alice" : "-", (second / 3600) % 24, (second / 60) % 60, second % 60,
      pick(random, kMethods), pick(random, kPaths), status, bytes, pick(random, kReferers),
      pick(random, kAgents));
  out->append(line, static_cast<size_t>(length));
}

std::string generate(size_t lines) {
  Random random{42};
  std::string text;
  text.reserve(lines * 220);
  for (size_t i = 0; i < lines; ++i) {
    append_line(random, static_cast<uint32_t>(i / 100), &text);
  }
  return text;
}

// What a reader of the log counts.
struct Totals {
  uint64_t lines = 0;
  uint64_t unparsed = 0;
  uint64_t status[5] = {};
  uint64_t bytes = 0;
  uint64_t micros = 0;
};

// Parses every whole line of [data, data + size); returns where the
// unfinished last line starts.
const char *parse_lines(const LogFormat &format, const char *data, size_t size, Totals *totals) {
  const char *p = data;
  const char *end = data + size;
  LogRecord record;
  while (p < end) {
    const char *newline = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (newline == nullptr) {
      break;
    }
    ++totals->lines;
    if (log_line_parse(format, p, static_cast<size_t>(newline - p), &record)) {
      ++totals->status[record.status / 100 - 1];
      totals->bytes += record.bytes;
      totals->micros += record.micros;
    } else {
      ++totals->unparsed;
    }
    p = newline + 1;
  }
  return p;
}

// Parses text by format for as long as the benchmark runs.
void parse_all(benchmark::State &state, const char *formatText, const std::string &text) {
  LogFormat format;
  log_format_compile(formatText, &format);
  Totals totals;
  for (auto _ : state) {
    parse_lines(format, text.data(), text.size(), &totals);
    benchmark::DoNotOptimize(totals);
  }
  if (totals.unparsed != 0) {
    state.SkipWithError("a generated line was not understood");
  }
  state.SetItemsProcessed(static_cast<int64_t>(totals.lines));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ParseCombined(benchmark::State &state) {
  static const std::string text = generate(10000);
  parse_all(state, log_format_nickname("combined"), text);
}
BENCHMARK(BM_ParseCombined);

// A virtual host in front and the time taken at the end: the two other
// fields that the tables count.
void BM_ParseVhostWithTime(benchmark::State &state) {
  static const std::string text = [] {
    const std::string combined = generate(10000);
    std::string out;
    out.reserve(combined.size() + 10000 * 30);
    Random random{7};
    size_t start = 0;
    while (start < combined.size()) {
      const size_t newline = combined.find('\n', start);
      out += random.below(2) == 0 ? "www.example.org " : "shop.example.org ";
      out.append(combined, start, newline - start);
      out += ' ';
      out += std::to_string(random.below(2000000));
      out += '\n';
      start = newline + 1;
    }
    return out;
  }();
  parse_all(state, "%v %h %l %u %t \\\"%r\\\" %>s %b \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\" %D",
            text);
}
BENCHMARK(BM_ParseVhostWithTime);

int write_file(const char *count, const char *path) {
  const size_t lines = std::strtoul(count, nullptr, 10);
  FILE *out = std::fopen(path, "wb");
  if (out == nullptr) {
    std::perror(path);
    return 1;
  }
  // In blocks, so that a big file never sits whole in memory.
  Random random{42};
  std::string block;
  for (size_t i = 0; i < lines; ++i) {
    append_line(random, static_cast<uint32_t>(i / 100), &block);
    if (block.size() >= (1u << 20) || i + 1 == lines) {
      if (std::fwrite(block.data(), 1, block.size(), out) != block.size()) {
        std::perror(path);
        std::fclose(out);
        return 1;
      }
      block.clear();
    }
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

int read_file(const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path);
    return 1;
  }
  LogFormat format;
  log_format_compile(log_format_nickname("combined"), &format);
  Totals totals;
  std::vector<char> buffer(1u << 20);
  size_t held = 0; // an unfinished line carried over from the last read
  for (;;) {
    if (held == buffer.size()) {
      held = 0; // a line longer than the buffer: drop it
      ++totals.unparsed;
    }
    const ssize_t n = read(fd, buffer.data() + held, buffer.size() - held);
    if (n <= 0) {
      break;
    }
    const size_t filled = held + static_cast<size_t>(n);
    const char *rest = parse_lines(format, buffer.data(), filled, &totals);
    held = filled - static_cast<size_t>(rest - buffer.data());
    std::memmove(buffer.data(), rest, held);
  }
  close(fd);
  std::printf("lines %" PRIu64 " unparsed %" PRIu64 " 1xx %" PRIu64 " 2xx %" PRIu64 " 3xx %" PRIu64
              " 4xx %" PRIu64 " 5xx %" PRIu64 " bytes %" PRIu64 "\n",
              totals.lines, totals.unparsed, totals.status[0], totals.status[1], totals.status[2],
              totals.status[3], totals.status[4], totals.bytes);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--generate") == 0) {
    return write_file(argv[2], argv[3]);
  }
  if (argc == 3 && std::strcmp(argv[1], "--file") == 0) {
    return read_file(argv[2]);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
