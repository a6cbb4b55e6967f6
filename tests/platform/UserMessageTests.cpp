#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/UserMessage.h"

namespace {

TEST(UserMessage, SinkReceivesTheExactTextAndCanBeSwapped) {
  std::vector<std::string> first;
  std::vector<std::string> second;
  const TUserMessageSink original =
      SetUserMessageSink([&](std::string_view text) { first.emplace_back(text); });

  ShowUserMessage("Please Set the LogFileName First !!!");
  ShowUserMessage(std::string_view("a\0b", 3));
  EXPECT_EQ(first, (std::vector<std::string>{"Please Set the LogFileName First !!!", std::string("a\0b", 3)}));

  // The previous sink comes back from the next installation, and works.
  TUserMessageSink previous = SetUserMessageSink([&](std::string_view text) { second.emplace_back(text); });
  ShowUserMessage("to second");
  ASSERT_TRUE(previous);
  previous("via returned");
  EXPECT_EQ(second, (std::vector<std::string>{"to second"}));
  EXPECT_EQ(first.back(), "via returned");

  // A sink may replace the sink while it runs.
  SetUserMessageSink([&](std::string_view text) {
    first.emplace_back(text);
    SetUserMessageSink([&](std::string_view t) { second.emplace_back(t); });
  });
  ShowUserMessage("once");
  ShowUserMessage("then");
  EXPECT_EQ(first.back(), "once");
  EXPECT_EQ(second.back(), "then");

  SetUserMessageSink(original);
}

#if !defined(_WIN32)
TEST(UserMessage, EmptySinkRestoresTheStderrDefault) {
  std::vector<std::string> seen;
  SetUserMessageSink([&](std::string_view text) { seen.emplace_back(text); });
  EXPECT_TRUE(SetUserMessageSink({}));
  EXPECT_FALSE(SetUserMessageSink({}));  // the default was installed
  testing::internal::CaptureStderr();
  ShowUserMessage("Please Set the LogFileName First !!!");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Please Set the LogFileName First !!!\n");
  EXPECT_TRUE(seen.empty());
}
#endif

}  // namespace
