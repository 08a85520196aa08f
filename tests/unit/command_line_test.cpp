// The command-line splitting, as the Windows start-up uses it.
#include "common/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

// The lead bytes of CP932 (Shift_JIS).
bool cp932_lead_byte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

struct SplitCase {
  const char* name;
  std::string line;
  Words words;  // the program name first
};

void PrintTo(const SplitCase& split, std::ostream* out) {
  *out << split.name;
}

class CommandLineSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineSplit, GivesTheWords) {
  const SplitCase& split = GetParam();
  EXPECT_EQ(split_command_line(split.line.c_str(), cp932_lead_byte), split.words) << split.line;
}

INSTANTIATE_TEST_SUITE_P(
    QuotesBlanksAndBackslashes, CommandLineSplit,
    ::testing::Values(
        SplitCase{"empty", "", {}}, SplitCase{"only_blanks", " \t  ", {}},
        SplitCase{"program_only", "comlog", {"comlog"}},
        SplitCase{"quoted_program",
                  "\"C:\\Program Files\\comlog.exe\" 5",
                  {"C:\\Program Files\\comlog.exe", "5"}},
        SplitCase{"one_argument", "comlog 12", {"comlog", "12"}},
        SplitCase{"runs_of_blanks", "comlog \t 5 \t\t 9", {"comlog", "5", "9"}},
        SplitCase{"leading_blanks", "  comlog 5", {"comlog", "5"}},
        SplitCase{"trailing_blanks", "comlog 5 \t ", {"comlog", "5"}},
        SplitCase{"quoted_blanks", "comlog \" 7x\" y", {"comlog", " 7x", "y"}},
        SplitCase{"quoted_tab", "comlog \"a\tb\"", {"comlog", "a\tb"}},
        SplitCase{"quoted_number", "comlog \"5\"", {"comlog", "5"}},
        SplitCase{"empty_quotes", "comlog \"\"", {"comlog", ""}},
        SplitCase{"empty_quotes_between", "comlog \"\" 5", {"comlog", "", "5"}},
        SplitCase{"empty_quotes_adjoining", "comlog a\"\"b", {"comlog", "ab"}},
        SplitCase{"section_adjoins_text", "comlog ab\"c d\"ef g", {"comlog", "abc def", "g"}},
        SplitCase{"two_sections", "comlog \"a b\"\"c d\"", {"comlog", "a bc d"}},
        SplitCase{"unclosed_section", "comlog \"a b  ", {"comlog", "a b  "}},
        SplitCase{"lone_quote_at_end", "comlog \"", {"comlog", ""}},
        SplitCase{"escaped_quote", "comlog a\\\"b", {"comlog", "a\"b"}},
        SplitCase{"escaped_quote_opens_nothing", "comlog \\\"a b", {"comlog", "\"a", "b"}},
        SplitCase{"escaped_quote_closes_nothing", "comlog \"a\\\" b\" c", {"comlog", "a\" b", "c"}},
        SplitCase{"escaped_quote_alone", "comlog \\\"", {"comlog", "\""}},
        SplitCase{"backslash_literal", "comlog C:\\dir\\file", {"comlog", "C:\\dir\\file"}},
        SplitCase{"doubled_backslash_stays_two", "comlog a\\\\b", {"comlog", "a\\\\b"}},
        SplitCase{"doubled_backslash_before_quote", "comlog a\\\\\"b c", {"comlog", "a\\\"b", "c"}},
        SplitCase{"trailing_backslash", "comlog a\\ b\\", {"comlog", "a\\", "b\\"}},
        SplitCase{"backslash_in_section", "comlog \"\\\\.\\COM12\"", {"comlog", "\\\\.\\COM12"}},
        SplitCase{"no_wildcard_expansion", "comlog * ?.dat", {"comlog", "*", "?.dat"}},
        SplitCase{"dbcs_backslash_trail",
                  "comlog \x83\x5C\"",  // "so" + a quote: the 5C is no escape
                  {"comlog", "\x83\x5C"}},
        SplitCase{"dbcs_trail_not_escape_in_section",
                  "comlog \"\x95\x5C\" x",
                  {"comlog", "\x95\x5C", "x"}},
        SplitCase{"dbcs_upper_lead", "comlog \xE0\x5C\\\"", {"comlog", "\xE0\x5C\""}},
        SplitCase{"dbcs_pairs_in_word",
                  "comlog \x83\x7C\x81\x5B\x83\x67 5",
                  {"comlog", "\x83\x7C\x81\x5B\x83\x67", "5"}},
        SplitCase{
            "not_lead_bytes", "comlog \xA0\\\"\x80\\\"\xFD\\\"", {"comlog", "\xA0\"\x80\"\xFD\""}},
        SplitCase{"lead_byte_at_end", "comlog a\x81", {"comlog", "a\x81"}},
        SplitCase{"wine_requoted",
                  "\"Z:\\tmp\\comlog.exe\" \"a b\" c\\\"d \"\" x",
                  {"Z:\\tmp\\comlog.exe", "a b", "c\"d", "", "x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, WithoutLeadBytesEveryByteStandsAlone) {
  EXPECT_EQ(split_command_line("comlog \x83\\\"", nullptr), (Words{"comlog", "\x83\""}));
  EXPECT_EQ(split_command_line("comlog \x83\\\"", cp932_lead_byte), (Words{"comlog", "\x83\\"}));
}

TEST(CommandLine, TheLeadByteTakesABlankOrQuoteWithIt) {
  // Not valid CP932, but the pair is taken whatever its second byte is.
  EXPECT_EQ(split_command_line("comlog \x81 x", cp932_lead_byte), (Words{"comlog", "\x81 x"}));
  EXPECT_EQ(split_command_line("comlog \x81\"x y", cp932_lead_byte),
            (Words{"comlog", "\x81\"x", "y"}));
}

}  // namespace
