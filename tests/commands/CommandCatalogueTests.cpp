#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "serial/Orvik7316Cmd.h"
#include "tests/commands/HexText.h"

namespace {

// The catalogue's bytes, written down from the hex listing of the handset's
// commands independently of the strings in the code.
const char* const CommandHex[CommandCount] = {
    "5C 44",  // 0
    "5C 45",  // 1
    "5C 4C",  // 2
    "5C 53",  // 3
    "2A 2A 5A",  // 4
    "2A 2A 4F",  // 5
    "2A 54",  // 6
    "2A 44",  // 7
    "26 57",  // 8
    "26 46",  // 9
    "2A 50",  // 10
    "35",  // 11
    "5C 46",  // 12
    "47",  // 13
    "48",  // 14
    "4B",  // 15
    "4C",  // 16
    "4D",  // 17
    "4E",  // 18
    "4F",  // 19
    "5C 4F",  // 20
    "2B 53",  // 21
    "2B 54",  // 22
    "55",  // 23
    "56",  // 24
    "58 30",  // 25
    "58 44",  // 26
    "58 47",  // 27
    "2A 42",  // 28
    "2A 53",  // 29
    "31",  // 30
    "36",  // 31
    "2A 31",  // 32
    "2A 36",  // 33
    "5C 31",  // 34
    "5C 36",  // 35
    "32",  // 36
    "37",  // 37
    "33",  // 38
    "38",  // 39
    "5C 33",  // 40
    "5C 38",  // 41
    "34",  // 42
    "39",  // 43
    "41",  // 44
    "42",  // 45
    "5C 41",  // 46
    "5C 42",  // 47
    "43",  // 48
    "44",  // 49
    "2B 43",  // 50
    "2B 44",  // 51
    "45",  // 52
    "46",  // 53
    "2B 45",  // 54
    "2B 46",  // 55
    "50",  // 56
    "51",  // 57
    "2B 50",  // 58
    "2B 51",  // 59
    "53",  // 60
    "54",  // 61
    "5C 56",  // 62
    "5C 57",  // 63
    "2A 32",  // 64
    "2A 37",  // 65
    "2A 33",  // 66
    "2A 38",  // 67
    "2A 34",  // 68
    "2A 39",  // 69
    "2A 49",  // 70
    "28 2D 49 29",  // 71
    "2A 57",  // 72
    "2A 59",  // 73
    "2D 59",  // 74
    "30",  // 75
    "2B 30",  // 76
    "5C 30",  // 77
    "5C 43",  // 78
    "49",  // 79
    "2B 49",  // 80
    "2D 49",  // 81
    "4A",  // 82
    "2B 4A",  // 83
    "2D 4A",  // 84
    "59",  // 85
    "57",  // 86
    "2A 30",  // 87
    "2A 4D",  // 88
};

bool IsLetterOrDigit(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

TEST(CommandCatalogue, EveryStringMatchesItsBytes) {
  for (int i = 0; i < CommandCount; ++i) {
    EXPECT_EQ(ToHex(CommandStrings[i]), CommandHex[i]) << "command " << i << " (" << CommandNames[i] << ")";
  }
}

TEST(CommandCatalogue, StringsFollowTheShapeRules) {
  const std::string prefixes = "\\*+-&X";
  int single = 0;
  int prefixed = 0;
  std::set<std::string_view> others;
  for (std::string_view s : CommandStrings) {
    if (s.size() == 1 && IsLetterOrDigit(s[0])) {
      ++single;
    } else if (s.size() == 2 && prefixes.find(s[0]) != std::string::npos && IsLetterOrDigit(s[1])) {
      ++prefixed;
    } else {
      others.insert(s);
    }
  }
  EXPECT_EQ(single, 33);
  EXPECT_EQ(prefixed, 53);
  EXPECT_EQ(others, (std::set<std::string_view>{"**Z", "**O", "(-I)"}));

  // Each string names one command, and a name one string.
  EXPECT_EQ(std::set<std::string_view>(CommandStrings.begin(), CommandStrings.end()).size(), 89u);
  EXPECT_EQ(std::set<std::string_view>(CommandNames.begin(), CommandNames.end()).size(), 89u);
  for (std::string_view name : CommandNames) {
    EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) << name;
  }
}

TEST(CommandCatalogue, NamesLineUpWithTheirCommands) {
  // Spot checks across the table: a shift of one entry in either array shows.
  struct {
    int Index;
    const char* Name;
  } const cases[] = {
      {0, "Sending a call"},
      {3, "Answering a call"},
      {4, "Turning off the mobile"},
      {34, "PathLoss Enable"},
      {62, "MeasureMent Enable"},
      {71, "Full Idle Channel Desp On Change Disable"},
      {88, "Model Enable"},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandNames[c.Index], c.Name) << c.Index;
}

TEST(CommandCatalogue, SequencesSendTheirCommandStrings) {
  auto strings = [](const auto& sequence) {
    std::vector<std::string_view> out;
    for (int32_t i : sequence) out.push_back(CommandStrings.at(static_cast<std::size_t>(i)));
    return out;
  };
  EXPECT_EQ(strings(StartupCommands),
            (std::vector<std::string_view>{"\\C", "\\V", "C", "E", "\\1", "\\3", "\\A", "9", "B", "Q", "T",
                                           "I", "+I", "J", "+J"}));
  EXPECT_EQ(strings(IdleReportCommands), (std::vector<std::string_view>{"1", "\\1", "\\3", "3", "E"}));
  EXPECT_EQ(strings(DedicatedReportCommands), (std::vector<std::string_view>{"2", "3", "\\V"}));
}

TEST(CommandCatalogue, ConnectRequestTimeConstantsAndBaudRates) {
  EXPECT_EQ(ToHex(ConnectRequest), "31 32 33 5C 32 0D 0A");
  EXPECT_DOUBLE_EQ(HalfSecondDays, 5.787037037037037e-06);
  EXPECT_DOUBLE_EQ(ConnectTimeoutDays, 5.787037037037037e-04);

  EXPECT_EQ(BaudRates[6], "9600");
  EXPECT_EQ(BaudRates.front(), "110");
  EXPECT_EQ(BaudRates.back(), "921600");
  for (std::size_t i = 1; i < BaudRates.size(); ++i) {
    EXPECT_LT(std::stol(std::string(BaudRates[i - 1])), std::stol(std::string(BaudRates[i]))) << i;
  }
}

}  // namespace
