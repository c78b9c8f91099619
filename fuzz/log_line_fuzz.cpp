// Fuzzes the access-log parser: log_format_compile on a format taken from
// the input, then log_line_parse on the rest, whole and line by line. Byte 0
// chooses the format: below 6 one of Apache's nicknames, otherwise the
// input up to its first line feed. A line is parsed from a heap block of
// exactly its size. Whatever the bytes, a line understood has a status of
// 100 to 599 when the format gives one and 0 otherwise, a virtual host
// only when the format gives one and then within the line, and nothing
// counted that the format does not give; the same line parsed again gives
// the same record.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "pluginlib/log_format.h"

namespace {

const char *const kNicknames[] = {"common",     "combined", "vhost_combined",
                                  "combinedio", "referer",  "agent"};

void parse_line(const LogFormat &format, const uint8_t *data, size_t size) {
  std::unique_ptr<char[]> line(new char[size > 0 ? size : 1]);
  if (size > 0) {
    std::memcpy(line.get(), data, size);
  }
  LogRecord record;
  const bool ok = log_line_parse(format, line.get(), size, &record);
  LogRecord again;
  fuzz::check(log_line_parse(format, line.get(), size, &again) == ok,
              "the same line parsed twice gives another answer");
  if (!ok) {
    return;
  }
  fuzz::check(record.status == again.status && record.bytes == again.bytes &&
                  record.micros == again.micros && record.vhost == again.vhost &&
                  record.vhostLength == again.vhostLength,
              "the same line parsed twice gives another record");
  if ((format.gives & LOG_GIVES_STATUS) != 0) {
    fuzz::check(record.status >= 100 && record.status <= 599, "a status outside 100 to 599");
  } else {
    fuzz::check(record.status == 0, "a status from a format without one");
  }
  fuzz::check((format.gives & LOG_GIVES_BYTES) != 0 || record.bytes == 0,
              "bytes from a format without them");
  fuzz::check((format.gives & LOG_GIVES_TIME) != 0 || record.micros == 0,
              "a time from a format without one");
  if ((format.gives & LOG_GIVES_VHOST) != 0) {
    fuzz::check(record.vhost >= line.get() && record.vhostLength <= size &&
                    record.vhost + record.vhostLength <= line.get() + size,
                "the virtual host lies outside the line");
  } else {
    fuzz::check(record.vhost == nullptr && record.vhostLength == 0,
                "a virtual host from a format without one");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Bytes in{data, size};
  const uint8_t choice = in.byte();
  std::unique_ptr<char[]> own;
  const char *text;
  if (choice < 6) {
    text = log_format_nickname(kNicknames[choice]);
    fuzz::check(text != nullptr, "a nickname without a format");
  } else {
    const void *newline = std::memchr(in.data, '\n', in.size);
    const size_t length = newline != nullptr
                              ? static_cast<size_t>(static_cast<const uint8_t *>(newline) - in.data)
                              : in.size;
    own = in.text(length);
    in.byte(); // the line feed
    text = own.get();
  }
  LogFormat format;
  if (!log_format_compile(text, &format)) {
    fuzz::check(format.gives == 0 && format.steps.empty(), "a format refused but left filled");
    return 0;
  }
  fuzz::check(format.gives != 0 && !format.steps.empty(), "a format accepted that gives nothing");

  parse_line(format, in.data, in.size);
  const uint8_t *start = in.data;
  const uint8_t *end = in.data + in.size;
  while (start < end) {
    const void *newline = std::memchr(start, '\n', static_cast<size_t>(end - start));
    const uint8_t *stop = newline != nullptr ? static_cast<const uint8_t *>(newline) : end;
    parse_line(format, start, static_cast<size_t>(stop - start));
    start = stop + 1;
  }
  return 0;
}
