// Decodes the annotated handset lines of data/lines.txt and compares the
// summary with data/lines.expected (regenerate: regenerate_standins_golden).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "StandinsSupport.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::ostringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  std::erase(s, '\r');
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(GoldenLines, SummaryMatchesTheReviewedOne) {
  const std::string dir = ORVIK_STANDINS_DATA_DIR;
  const std::string input = ReadFile(dir + "/lines.txt");
  const auto actual = Lines(standins_test::SummariseLineFile(input));
  const auto expected = Lines(ReadFile(dir + "/lines.expected"));
  ASSERT_GT(expected.size(), 1u);
  for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    EXPECT_EQ(actual[i], expected[i]) << "summary line " << i + 1;
  }
  EXPECT_EQ(actual.size(), expected.size());
}

}  // namespace
