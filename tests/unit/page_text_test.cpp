// The page text routines: HTML reduction, label and setting lines, tokens.
#include "collect/pages/page_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// --- html_to_text ---------------------------------------------------------

struct HtmlCase {
  const char *name;
  const char *source;
  const char *text;
  int count;
};

const HtmlCase kHtmlCases[] = {
    {"definition_line", "<dt><strong>Server Version:</strong> <tt>Apache/2.0.59 (Win32)</tt></dt>",
     "Server Version: Apache/2.0.59 (Win32)", 37},
    {"entities_and_br", "<b>Daemons:</b> start: 5 &nbsp;&nbsp; min idle: 5<br>",
     "Daemons: start: 5  min idle: 5\n", 30},
    {"upper_case_br_is_dropped", "a &amp; b<BR>c", "a  bc", 5},
    {"dd_and_self_closing_br", "x<dd>y<br/>z", "x\nyz", 3},
    {"dd_with_attributes_is_dropped", "a<dd class=\"c\">b", "ab", 2},
    {"closing_tags_are_dropped", "a</br></dd>b", "ab", 2},
    {"source_newlines_are_kept_and_counted", "a\nb\n", "a\nb\n", 4},
    {"unclosed_entity_drops_the_rest", "abc &nbsp def <b>x</b>", "abc ", 4},
    {"unclosed_tag_drops_the_rest", "abc <b def &amp; x", "abc ", 4},
    {"ampersand_inside_a_tag_is_plain", "<a href=\"?a=1&b=2\">link</a>;", "link;", 5},
    {"less_than_inside_an_entity_is_plain", "x&l<b>t;y", "xy", 2},
    {"entities_are_not_decoded", "&lt;p&gt;", "p", 1},
    {"br_cut_short_at_the_end", "a<br", "a", 1},
    {"carriage_return_is_a_character", "a\r\n", "a\r\n", 3},
    {"empty", "", "", 0},
};

class HtmlToText : public ::testing::TestWithParam<HtmlCase> {};

TEST_P(HtmlToText, ReducesToText) {
  const HtmlCase &c = GetParam();
  // Exactly the size the routine may rely on, so that ASan sees any overrun.
  std::vector<char> destination(std::strlen(c.source) + 1, '#');
  EXPECT_EQ(html_to_text(c.source, destination.data()), c.count);
  EXPECT_STREQ(destination.data(), c.text);
}

INSTANTIATE_TEST_SUITE_P(Cases, HtmlToText, ::testing::ValuesIn(kHtmlCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(HtmlToTextBreaks, EachBreakTagGivesExactlyOneNewline) {
  const char *source = "<br><br><dd>";
  char destination[16];
  EXPECT_EQ(html_to_text(source, destination), 0);
  EXPECT_STREQ(destination, "\n\n\n");
}

// --- find_label_line and find_setting_line ----------------------------------

const char kKeepAliveText[] = "KeepAlive - Whether persistent connections are allowed\n"
                              "KeepAliveTimeout 15\n"
                              "KeepAlive On";

struct LineCase {
  const char *name;
  bool setting; // find_setting_line rather than find_label_line
  const char *label;
  const char *text;
  int limit;
  long position; // offset of the result in text, -1 for null
  const char *line;
};

const LineCase kLineCases[] = {
    {"label_finds_description_line", false, "KeepAlive ", kKeepAliveText, 512, 0,
     "KeepAlive - Whether persistent connections are allowed"},
    {"setting_skips_description_line", true, "KeepAlive ", kKeepAliveText, 512, 75, "KeepAlive On"},
    {"setting_rejects_the_only_occurrence", true, "KeepAlive ",
     "KeepAlive - Whether persistent connections are allowed\nKeepAliveTimeout 15\n", 512, -1,
     nullptr},
    {"limit_cuts_the_line", false, "Timeouts: ", "Timeouts: connection: 300", 5, 0, "Timeo"},
    {"label_inside_a_word", false, "Alive", "MaxKeepAlive 5\n", 512, 7, "Alive 5"},
    {"label_at_end_of_text", false, "Label", "x Label", 512, 2, "Label"},
    {"label_before_newline", false, "Label", "Label\nnext", 512, 0, "Label"},
    {"carriage_return_is_copied", false, "Total: ", "a\nTotal: 5\r\nb", 512, 2, "Total: 5\r"},
    {"comparison_is_case_sensitive", false, "uptime", "Uptime: 5\n", 512, -1, nullptr},
    {"absent_label", false, "Missing", kKeepAliveText, 512, -1, nullptr},
    {"setting_accepts_first_plain_occurrence", true, "Timeout ",
     "Timeout 300\nTimeout - description\n", 512, 0, "Timeout 300"},
    {"setting_takes_a_dash_only_right_after_label", true, "Timeout ", "Timeout  - x", 512, 0,
     "Timeout  - x"},
    {"setting_accepts_the_label_at_end_of_text", true, "KeepAlive ", "KeepAlive - d\nKeepAlive ",
     512, 14, "KeepAlive "},
    {"zero_limit_copies_nothing", false, "A", "ABC", 0, 0, ""},
};

class FindLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(FindLine, FindsAndCopies) {
  const LineCase &c = GetParam();
  std::vector<char> line(static_cast<size_t>(c.limit), '#');
  line.push_back('\0');
  const std::string before(line.data());
  const char *found = c.setting ? find_setting_line(c.label, c.text, line.data(), c.limit)
                                : find_label_line(c.label, c.text, line.data(), c.limit);
  if (c.position < 0) {
    EXPECT_EQ(found, nullptr);
    if (!c.setting) {
      EXPECT_EQ(std::string(line.data()), before) << "line buffer changed without a find";
    }
    return;
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found - c.text, c.position);
  EXPECT_STREQ(line.data(), c.line);
}

INSTANTIATE_TEST_SUITE_P(Cases, FindLine, ::testing::ValuesIn(kLineCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(FindLineLimit, LongLineIsCutToExactlyTheLimit) {
  const std::string text = "Scoreboard: " + std::string(9000, '_') + "\nnext";
  for (const int limit : {512, 8192}) {
    std::vector<char> line(static_cast<size_t>(limit) + 1);
    ASSERT_EQ(find_label_line("Scoreboard: ", text.c_str(), line.data(), limit), text.c_str());
    EXPECT_EQ(std::strlen(line.data()), static_cast<size_t>(limit));
    EXPECT_EQ(std::string(line.data()), text.substr(0, static_cast<size_t>(limit)));
    std::vector<char> setting(static_cast<size_t>(limit) + 1);
    ASSERT_NE(find_setting_line("Scoreboard: ", text.c_str(), setting.data(), limit), nullptr);
    EXPECT_STREQ(setting.data(), line.data());
  }
}

TEST(FindSettingLine, EmptyLabelBeforeDashStillEnds) {
  char line[16];
  const char text[] = "--x";
  EXPECT_EQ(find_setting_line("", text, line, 15), text + 2);
  EXPECT_STREQ(line, "x");
}

// --- split_fields ------------------------------------------------------------

struct SplitCase {
  const char *name;
  const char *delimiters;
  const char *source;
  std::vector<std::string> tokens;
};

const SplitCase kSplitCases[] = {
    {"server_version",
     " :",
     "Server Version: Apache/2.0.59 (Win32)",
     {"Server", "Version", "Apache/2.0.59", "(Win32)"}},
    {"daemon_counts",
     " :",
     " start: 5  min idle: 5  max idle: 10  max: 256",
     {"start", "5", "min", "idle", "5", "max", "idle", "10", "max", "256"}},
    {"user_and_group", " /", " apache(48)/48", {"apache(48)", "48"}},
    {"quoted_log",
     " \"",
     "CustomLog \"logs/access.log\" common",
     {"CustomLog", "logs/access.log", "common"}},
    {"quote_does_not_group",
     " \"",
     "CustomLog \"/srv/web logs/access.log\" common",
     {"CustomLog", "/srv/web", "logs/access.log", "common"}},
    {"delimiters_only", " :", " :: : ", {}},
    {"empty_source", " :", "", {}},
    {"carriage_return_is_not_a_delimiter", " :", "Uptime: 42\r", {"Uptime", "42\r"}},
    {"no_delimiters_in_source", " :", "word", {"word"}},
    {"empty_delimiter_set", "", "a b", {"a b"}},
};

struct Fields {
  PageFields f;
};

// A heap field array whose every byte is set, so that stale contents show.
std::unique_ptr<Fields> dirty_fields() {
  auto fields = std::make_unique<Fields>();
  std::memset(fields->f, 'X', sizeof fields->f);
  return fields;
}

class SplitFields : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitFields, SplitsIntoTokens) {
  const SplitCase &c = GetParam();
  auto fields = dirty_fields();
  const int count = split_fields(c.delimiters, c.source, fields->f);
  ASSERT_EQ(count, static_cast<int>(c.tokens.size()));
  for (int i = 0; i < PAGE_FIELD_COUNT; ++i) {
    const std::string expected = i < count ? c.tokens[static_cast<size_t>(i)] : "";
    EXPECT_EQ(std::string(fields->f[i]), expected) << "field " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitFields, ::testing::ValuesIn(kSplitCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SplitFieldsBounds, StoresAtMost32Tokens) {
  std::string source;
  for (int i = 0; i < 40; ++i) {
    source.append("t").append(std::to_string(i)).append(" ");
  }
  auto fields = dirty_fields();
  EXPECT_EQ(split_fields(" ", source.c_str(), fields->f), 32);
  EXPECT_STREQ(fields->f[0], "t0");
  EXPECT_STREQ(fields->f[31], "t31");
}

TEST(SplitFieldsBounds, LongTokenIsCutAndTheNextStaysWhole) {
  const std::string exact(511, 'e');
  const std::string source = std::string(2000, 'L') + " " + exact + " next";
  auto fields = dirty_fields();
  ASSERT_EQ(split_fields(" ", source.c_str(), fields->f), 3);
  EXPECT_EQ(std::string(fields->f[0]), std::string(511, 'L'));
  EXPECT_EQ(std::string(fields->f[1]), exact);
  EXPECT_STREQ(fields->f[2], "next");
}

TEST(SplitFieldsBounds, ReusedArrayKeepsNothingOfTheLastLine) {
  auto fields = dirty_fields();
  ASSERT_EQ(split_fields(" ", "a b c d e f", fields->f), 6);
  ASSERT_EQ(split_fields(" ", "x", fields->f), 1);
  EXPECT_STREQ(fields->f[0], "x");
  for (int i = 1; i < PAGE_FIELD_COUNT; ++i) {
    EXPECT_STREQ(fields->f[i], "") << "field " << i;
  }
}

} // namespace
