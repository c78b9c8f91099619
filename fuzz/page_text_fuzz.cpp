// Fuzzes the four page text routines. The first bytes of the input choose
// the line limit, a label and a delimiter set; the rest is the page:
//   bytes 0-1  the limit, a signed 16-bit number taken modulo 9000
//   byte 2     label length (0..63)      byte 3  delimiter count (0..7)
//   then the label, the delimiters, and the page text.
// Each routine's output is checked against what its contract promises.
#include <cstring>
#include <memory>
#include <string>

#include "collect/pages/page_text.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr char kUntouched = '\x01';

struct LineBuffer {
  int limit;
  size_t size; // limit + 1 bytes, at least 1
  std::unique_ptr<char[]> bytes;

  explicit LineBuffer(int limit_)
      : limit(limit_), size(static_cast<size_t>(limit_ > 0 ? limit_ : 0) + 1),
        bytes(new char[size]) {}
  void mark() { std::memset(bytes.get(), kUntouched, size); }
  bool untouched() const {
    for (size_t i = 0; i < size; ++i) {
      if (bytes[i] != kUntouched) {
        return false;
      }
    }
    return true;
  }
};

bool occurs_at(const char *at, const char *label) {
  return std::strncmp(at, label, std::strlen(label)) == 0;
}

// The copied line: from the occurrence to the newline or the end, at most
// limit characters, NUL-terminated within the buffer.
void check_line(const LineBuffer &line, const char *found) {
  fuzz::check(fuzz::terminated(line.bytes.get(), line.size), "line not NUL-terminated");
  const size_t length = std::strlen(line.bytes.get());
  fuzz::check(length <= line.size - 1, "line longer than the limit");
  size_t expected = 0;
  while (expected < line.size - 1 && found[expected] != '\0' && found[expected] != '\n') {
    ++expected;
  }
  fuzz::check(length == expected, "line not cut at the newline, the end or the limit");
  fuzz::check(std::memcmp(line.bytes.get(), found, length) == 0, "line differs from the text");
}

void check_finders(const char *label, const char *text, LineBuffer &line) {
  // find_label_line: the first occurrence anywhere.
  line.mark();
  const char *first = std::strstr(text, label);
  const char *found = find_label_line(label, text, line.bytes.get(), line.limit);
  fuzz::check(found == first, "find_label_line missed the first occurrence");
  if (found == nullptr) {
    fuzz::check(line.untouched(), "find_label_line wrote the line without a match");
  } else {
    check_line(line, found);
  }

  // find_label_line_at_start: the first occurrence that starts a line, else
  // the first anywhere.
  const char *expected = nullptr;
  for (const char *p = text; p != nullptr && expected == nullptr;) {
    if (occurs_at(p, label)) {
      expected = p;
    }
    const char *newline = std::strchr(p, '\n');
    p = newline != nullptr ? newline + 1 : nullptr;
  }
  if (expected == nullptr) {
    expected = first;
  }
  line.mark();
  found = find_label_line_at_start(label, text, line.bytes.get(), line.limit);
  fuzz::check(found == expected, "find_label_line_at_start chose the wrong occurrence");
  if (found == nullptr) {
    fuzz::check(line.untouched(), "find_label_line_at_start wrote the line without a match");
  } else {
    check_line(line, found);
  }

  // find_setting_line: an occurrence not followed by '-'.
  const size_t label_length = std::strlen(label);
  line.mark();
  found = find_setting_line(label, text, line.bytes.get(), line.limit);
  if (found != nullptr) {
    fuzz::check(occurs_at(found, label), "find_setting_line result is no occurrence");
    fuzz::check(found[label_length] != '-', "find_setting_line accepted a description");
    fuzz::check(found >= first, "find_setting_line result before the first occurrence");
    check_line(line, found);
  }
  if (first != nullptr && first[label_length] != '-') {
    fuzz::check(found == first, "find_setting_line passed over an acceptable occurrence");
  }
  if (first == nullptr) {
    fuzz::check(found == nullptr && line.untouched(), "find_setting_line found a missing label");
  }
}

void check_split(const char *delimiters, const char *source) {
  std::unique_ptr<char[][PAGE_FIELD_SIZE]> fields(new char[PAGE_FIELD_COUNT][PAGE_FIELD_SIZE]);
  std::memset(fields.get(), 'x', sizeof(PageFields));
  const int count = split_fields(delimiters, source, fields.get());
  fuzz::check(count >= 0 && count <= PAGE_FIELD_COUNT, "token count outside 0..32");

  bool cut = false;
  std::string joined;
  for (int i = 0; i < PAGE_FIELD_COUNT; ++i) {
    fuzz::check(fuzz::terminated(fields[i], PAGE_FIELD_SIZE), "field not NUL-terminated");
    const size_t length = std::strlen(fields[i]);
    if (i >= count) {
      fuzz::check(length == 0, "field past the count is not empty");
      continue;
    }
    fuzz::check(length > 0, "empty token");
    for (size_t k = 0; k < length; ++k) {
      fuzz::check(std::strchr(delimiters, fields[i][k]) == nullptr, "delimiter inside a token");
    }
    cut = cut || length == PAGE_FIELD_SIZE - 1;
    joined.append(fields[i], length);
  }
  if (count < PAGE_FIELD_COUNT && !cut) {
    // Nothing was dropped: the tokens are the source without its delimiters.
    std::string rest;
    for (const char *p = source; *p != '\0'; ++p) {
      if (std::strchr(delimiters, *p) == nullptr) {
        rest += *p;
      }
    }
    fuzz::check(joined == rest, "tokens are not the source without its delimiters");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Bytes in{data, size};
  const uint8_t high = in.byte();
  const uint8_t low = in.byte();
  const auto raw_limit = static_cast<int16_t>(high << 8 | low);
  const int limit = raw_limit % 9000;
  const size_t label_length = in.byte() % 64;
  const size_t delimiter_count = in.byte() % 8;
  std::unique_ptr<char[]> label = in.text(label_length);
  std::unique_ptr<char[]> delimiters = in.text(delimiter_count);
  std::unique_ptr<char[]> text = in.rest();

  // html_to_text into exactly strlen + 1 bytes.
  const size_t source_length = std::strlen(text.get());
  std::unique_ptr<char[]> plain(new char[source_length + 1]);
  const int copied = html_to_text(text.get(), plain.get());
  const size_t plain_length = std::strlen(plain.get());
  fuzz::check(copied >= 0 && static_cast<size_t>(copied) <= plain_length,
              "html_to_text count exceeds its output");
  fuzz::check(plain_length <= source_length, "html_to_text output longer than its input");
  fuzz::check(std::strpbrk(plain.get(), "<&") == nullptr, "markup left in html_to_text output");

  LineBuffer line(limit);
  check_finders(label.get(), text.get(), line);
  check_finders(label.get(), plain.get(), line);

  check_split(delimiters.get(), text.get());
  check_split(delimiters.get(), plain.get());
  // The collectors split lines that a finder copied, at their own sets.
  if (find_label_line(label.get(), plain.get(), line.bytes.get(), line.limit) != nullptr) {
    check_split(delimiters.get(), line.bytes.get());
    check_split(" :", line.bytes.get());
    check_split(" \"", line.bytes.get());
  }
  return 0;
}
