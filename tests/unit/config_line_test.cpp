#include "pluginlib/config_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/fake_varnock.h"
#include "tests/support/process.h"

namespace {

std::vector<std::string> split(const std::string &text) {
  static ConfigFields fields;
  const int count = tokenize_line(text.c_str(), fields);
  EXPECT_GE(count, 0);
  EXPECT_LE(count, CONFIG_FIELD_COUNT);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    out.emplace_back(fields[i]);
  }
  for (int i = count; i < CONFIG_FIELD_COUNT; ++i) {
    EXPECT_STREQ(fields[i], "") << "slot " << i << " of \"" << text << "\" left over";
  }
  return out;
}

using Fields = std::vector<std::string>;

TEST(TokenizeLineTest, SplittingRules) {
  struct Case {
    const char *text;
    Fields fields;
  };
  const Case cases[] = {
      {"", {}},
      {"\n", {}},
      {"  \t \n", {}},
      {"apache 80 u p 0\n", {"apache", "80", "u", "p", "0"}},
      {"  \tapache   80\n", {"apache", "80"}},
      {"apache 80", {"apache", "80"}},
      // A tab ends an unquoted field as a blank does.
      {"apache\t80\tu\tp\t0\n", {"apache", "80", "u", "p", "0"}},
      {"a \t b\t\t c", {"a", "b", "c"}},
      // Quoted fields keep blanks, tabs and the other quote; no escapes.
      {"'a b' \"c\td\" 'x\"y' \"it's\"\n", {"a b", "c\td", "x\"y", "it's"}},
      {"'a\\' b\n", {"a\\", "b"}},
      // Quotes inside an unquoted field are ordinary characters.
      {"ab'cd e\"f\n", {"ab'cd", "e\"f"}},
      // Text right after a closing quote starts the next field.
      {"'abc'def 'x''y'\n", {"abc", "def", "x", "y"}},
      // Empty quoted fields are fields.
      {"u '' \"\" p\n", {"u", "", "", "p"}},
      // An unterminated quote runs to the end of the line, line feed excluded.
      {"u 'p w\n", {"u", "p w"}},
      {"u 'p w", {"u", "p w"}},
      // A quote with nothing after it yields no field.
      {"u '\n", {"u"}},
      {"u \"", {"u"}},
      // A line feed ends the line: what follows it is not read.
      {"a b\nc d", {"a", "b"}},
      {"a 'b\nc' d", {"a", "b"}},
      // A carriage return is an ordinary character.
      {"a b\r\n", {"a", "b\r"}},
      {"# a b\n", {"#", "a", "b"}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(split(c.text), c.fields) << '"' << c.text << '"';
  }
}

TEST(TokenizeLineTest, FieldsPastThe32ndAreDropped) {
  std::string line;
  for (int i = 1; i <= 40; ++i) {
    line += std::to_string(i) + " ";
  }
  const Fields fields = split(line + "\n");
  ASSERT_EQ(fields.size(), 32u);
  EXPECT_EQ(fields.front(), "1");
  EXPECT_EQ(fields.back(), "32");
}

TEST(TokenizeLineTest, AnOverlongFieldIsCutTo511Characters) {
  const std::string word(2000, 'w');
  const Fields fields = split("a " + word + " b '" + word + "' c\n");
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[1], std::string(511, 'w'));
  EXPECT_EQ(fields[2], "b");
  EXPECT_EQ(fields[3], std::string(511, 'w'));
  EXPECT_EQ(fields[4], "c");
}

TEST(TokenizeLineTest, AThousandEmptyQuotedFieldsStayInTheStore) {
  std::string line;
  for (int i = 0; i < 1000; ++i) {
    line += "''";
  }
  EXPECT_EQ(split(line).size(), 32u);
}

class NextConfigLineTest : public ::testing::Test {
protected:
  void SetUp() override { fake_varnock::reset(); }

  // Every line that next_config_line delivers from content, with the line
  // counter after it.
  std::vector<std::pair<int, Fields>> lines(const std::string &content) {
    const std::string path = dir_.file("lines.cf");
    testsupport::write_file(path, content);
    FILE *file = std::fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr);
    std::vector<std::pair<int, Fields>> out;
    ConfigFields fields;
    int counter = 0;
    int count;
    while ((count = next_config_line(file, fields, &counter)) != -1) {
      EXPECT_GE(count, 1);
      Fields row;
      for (int i = 0; i < count; ++i) {
        row.emplace_back(fields[i]);
      }
      out.emplace_back(counter, row);
      if (out.size() > 100) {
        break;
      }
    }
    EXPECT_EQ(next_config_line(file, fields, &counter), -1) << "end of file stays the end";
    std::fclose(file);
    return out;
  }

  testsupport::TempDir dir_;
};

TEST_F(NextConfigLineTest, CommentsAndEmptyLinesAreSkippedButCounted) {
  const auto got = lines("# comment\n"
                         "\n"
                         "   \t \n"
                         "  # indented comment\n"
                         "a b\n"
                         "#\n"
                         "c");
  using Row = std::pair<int, Fields>;
  // The indented comment has a field ("#"); the reader, not this routine, skips it.
  EXPECT_EQ(got,
            (std::vector<Row>{{4, {"#", "indented", "comment"}}, {5, {"a", "b"}}, {7, {"c"}}}));
}

TEST_F(NextConfigLineTest, AnEmptyFileHasNoLines) { EXPECT_TRUE(lines("").empty()); }

TEST_F(NextConfigLineTest, LinesAreReadInPiecesOf510Characters) {
  // 509 characters and the line feed: one piece.
  const std::string whole = "x " + std::string(507, 'y');
  ASSERT_EQ(whole.size(), 509u);
  auto got = lines(whole + "\nz\n");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, 1);
  EXPECT_EQ(got[0].second[1], std::string(507, 'y'));
  EXPECT_EQ(got[1].first, 2);

  // 510 characters: the piece ends before the line feed, which is read as an
  // empty line of its own and counted.
  const std::string split_line = "x " + std::string(508, 'y');
  got = lines(split_line + "\nz\n");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, 1);
  EXPECT_EQ(got[0].second[1], std::string(508, 'y'));
  EXPECT_EQ(got[1], (std::pair<int, Fields>{3, {"z"}}));

  // 1104 characters: pieces of 510, 510 and the rest with the line feed.
  const std::string longer = std::string(509, 'a') + " " + std::string(509, 'b') + " " +
                             std::string(79, 'c') + " " + "tail";
  got = lines(longer + "\nz\n");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (std::pair<int, Fields>{1, {std::string(509, 'a')}}));
  EXPECT_EQ(got[1], (std::pair<int, Fields>{2, {std::string(509, 'b')}}));
  EXPECT_EQ(got[2], (std::pair<int, Fields>{3, {std::string(79, 'c'), "tail"}}));
  EXPECT_EQ(got[3], (std::pair<int, Fields>{4, {"z"}}));
}

TEST_F(NextConfigLineTest, APieceThatBeginsWithHashIsSkipped) {
  // The second piece of the overlong comment begins with "#": skipped too.
  // Appended: "#" + std::string(...) draws a false overlap report from GCC 12
  // at -O3 (-Wrestrict) in the inlined insert of that operator+.
  const std::string comment = std::string("#").append(509, '-').append("#rest of it\n");
  const auto got = lines(comment + "a\n");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (std::pair<int, Fields>{3, {"a"}}));
}

TEST_F(NextConfigLineTest, NullCounterIsAllowed) {
  const std::string path = dir_.file("n.cf");
  testsupport::write_file(path, "#\n a \n");
  FILE *file = std::fopen(path.c_str(), "r");
  ASSERT_NE(file, nullptr);
  ConfigFields fields;
  EXPECT_EQ(next_config_line(file, fields, nullptr), 1);
  EXPECT_STREQ(fields[0], "a");
  EXPECT_EQ(next_config_line(file, fields, nullptr), -1);
  std::fclose(file);
}

TEST_F(NextConfigLineTest, BinaryBytesAndNulsAreReadSafely) {
  std::string content = "a\xff\x01 b";
  content += '\0';
  content += "hidden c\n\x80\x90 \xfe\n";
  const auto got = lines(content);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].second, (Fields{"a\xff\x01", "b"}));
  EXPECT_EQ(got[1].second, (Fields{"\x80\x90", "\xfe"}));
}

TEST(OpenTextFileTest, MissingFileIsReportedOnStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_text_file("/nonexistent/ostrik.cf"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "varnock: unable to open file /nonexistent/ostrik.cf\n");
}

TEST(ReportConfigErrorTest, OneLineOnStandardErrorAndOneAtLevel3) {
  fake_varnock::reset();
  testing::internal::CaptureStderr();
  report_config_error("Something wrong", "it's here", 12);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "varnock: Something wrong - found 'it's here' in config file, line 12\n");
  ASSERT_EQ(fake_varnock::log().size(), 1u);
  EXPECT_EQ(fake_varnock::log()[0].level, VARNOCK_LOG_ERR);
  EXPECT_EQ(fake_varnock::log()[0].text,
            "varnock: Something wrong - found 'it's here' in config file, line 12");
}

TEST(ReportConfigErrorTest, PercentSignsInTheFoundTextArePrintedAsIs) {
  fake_varnock::reset();
  testing::internal::CaptureStderr();
  report_config_error("Unexpected value", "%s%n%d", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "varnock: Unexpected value - found '%s%n%d' in config file, line 1\n");
  ASSERT_EQ(fake_varnock::log().size(), 1u);
  EXPECT_EQ(fake_varnock::log()[0].text,
            "varnock: Unexpected value - found '%s%n%d' in config file, line 1");
}

} // namespace
