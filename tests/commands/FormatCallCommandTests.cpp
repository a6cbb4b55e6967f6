#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "serial/Orvik7316Cmd.h"
#include "tests/commands/HexText.h"

namespace {

TEST(FormatCallCommand, TextPerAction) {
  struct {
    int32_t Action;
    std::string Number;
    std::string ExpectedHex;
  } const cases[] = {
      {caDial, "12345", "5C 44 31 32 33 34 35 0D 0A"},
      {caDial, "+4930*#p1w2P3W", "5C 44 2B 34 39 33 30 2A 23 70 31 77 32 50 33 57 0D 0A"},
      {caDial, "", ""},
      {caHangUp, "12345", "5C 45"},
      {caHangUp, "", "5C 45"},
      {caAnswer, "12345", "5C 53"},
      {caAnswer, "", "5C 53"},
      {3, "12345", ""},
      {-1, "12345", ""},
      {INT32_MIN, "12345", ""},
      {INT32_MAX, "12345", ""},
  };
  for (const auto& c : cases) {
    const TByteString text = FormatCallCommand(c.Action, TByteString(c.Number));
    EXPECT_EQ(ToHex(text.view()), c.ExpectedHex) << "action " << c.Action << ", number \"" << c.Number << "\"";
  }
}

TEST(FormatCallCommand, DialNumberWithAnyOtherByteGivesNothing) {
  // A backslash would start a second command ("\\E" hangs up); a CR LF would
  // end the dial line early.
  for (const std::string& number :
       {std::string("123\\E"), std::string("\\S"), std::string("123\r\n\\E"), std::string("12\0" "3", 4),
        std::string("\x1F"), std::string("12\t3"), std::string("+49 30 1234"), std::string("12+3"),
        std::string("++1"), std::string("12,3"), std::string("1a"), std::string("\xB1" "2")}) {
    EXPECT_TRUE(FormatCallCommand(caDial, TByteString(number)).empty()) << ToHex(number);
  }
  // The other actions do not use the number, so it cannot harm them.
  EXPECT_EQ(FormatCallCommand(caHangUp, TByteString(std::string_view("1\\E"))).str(), "\\E");
}

}  // namespace
