// Fuzzes tokenize_line, the splitter of configuration lines, with arbitrary
// text: fields stay within their slots and the count within the store.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "pluginlib/config_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<char[]> text = fuzz::c_string(data, size);
  std::unique_ptr<char[][CONFIG_FIELD_SIZE]> fields(
      new char[CONFIG_FIELD_COUNT][CONFIG_FIELD_SIZE]);
  // Stale contents from an earlier line must never survive.
  std::memset(fields.get(), 'x', sizeof(ConfigFields));

  const int count = tokenize_line(text.get(), fields.get());

  fuzz::check(count >= 0 && count <= CONFIG_FIELD_COUNT, "field count outside 0..32");
  for (int i = 0; i < CONFIG_FIELD_COUNT; ++i) {
    fuzz::check(fuzz::terminated(fields[i], CONFIG_FIELD_SIZE), "field not NUL-terminated");
    fuzz::check(std::strchr(fields[i], '\n') == nullptr, "line feed inside a field");
    if (i >= count) {
      fuzz::check(fields[i][0] == '\0', "field past the count is not empty");
    }
  }
  // A line with any character other than blanks, tabs and quotes has a field.
  const char *end = std::strchr(text.get(), '\n');
  const size_t line_length =
      end != nullptr ? static_cast<size_t>(end - text.get()) : std::strlen(text.get());
  bool has_text = false;
  for (size_t i = 0; i < line_length; ++i) {
    const char c = text[i];
    has_text = has_text || (c != ' ' && c != '\t' && c != '\'' && c != '"');
  }
  if (has_text) {
    fuzz::check(count >= 1, "a line with text gave no field");
  }
  return 0;
}
