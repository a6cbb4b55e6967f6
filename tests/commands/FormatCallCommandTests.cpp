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
      {caDial, "+49 30 1234", "5C 44 2B 34 39 20 33 30 20 31 32 33 34 0D 0A"},
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

TEST(FormatCallCommand, DialNumberWithAControlByteGivesNothing) {
  // A CR LF inside the number would end the dial line and start a hang-up.
  for (const std::string& number :
       {std::string("123\r\n\\E"), std::string("12\0" "3", 4), std::string("\x1F"), std::string("12\t3"),
        std::string("\n")}) {
    EXPECT_TRUE(FormatCallCommand(caDial, TByteString(number)).empty()) << ToHex(number);
  }
  // The other actions do not use the number, so it cannot harm them.
  EXPECT_EQ(FormatCallCommand(caHangUp, TByteString(std::string_view("1\r\n"))).str(), "\\E");
}

}  // namespace
