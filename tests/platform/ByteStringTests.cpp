#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "host/SharedMM.h"
#include "platform/ByteString.h"

namespace {

// Counts the shared blocks a test leaves behind.
class ByteStringTest : public testing::Test {
 protected:
  void SetUp() override { Blocks = SharedLiveBlocks(); }
  void TearDown() override {
    EXPECT_EQ(SharedLiveBlocks(), Blocks);
    EXPECT_EQ(SharedBadFrees(), 0);
  }
  int64_t Blocks = 0;
};

TEST_F(ByteStringTest, HoldsAnyBytesWithTheirCount) {
  const std::string raw("\0A\r\n\xFF", 5);
  TByteString s(raw);
  EXPECT_EQ(s.size(), 5u);
  EXPECT_EQ(s.str(), raw);
  EXPECT_EQ(s.bytes()[4], 0xFF);
  EXPECT_EQ(s.data()[5], '\0');  // the terminator after the counted bytes

  TByteString empty(std::string_view{});
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_STREQ(empty.data(), "");
  EXPECT_EQ(empty.Raw(), nullptr);
}

TEST_F(ByteStringTest, CopiesShareOneBlockAndEqualityComparesBytes) {
  TByteString a(std::string_view("123\\2"));
  TByteString b = a;
  EXPECT_EQ(a.Raw(), b.Raw());
  TByteString c(std::string_view("123\\2"));
  EXPECT_NE(c.Raw(), a.Raw());
  EXPECT_EQ(a, c);
  EXPECT_FALSE(a == TByteString(std::string_view("123\\3")));

  b = TByteString(std::string_view("other"));
  EXPECT_EQ(a.str(), "123\\2");
  a = std::move(b);
  EXPECT_EQ(a.str(), "other");
  EXPECT_TRUE(b.empty());
  a = a;  // self-assignment keeps the block alive
  EXPECT_EQ(a.str(), "other");
}

TEST_F(ByteStringTest, CrossesTheBoundaryWithoutLeaksOrDoubleFrees) {
  TByteString s(std::string_view("Orvik7316"));
  PSharedStr raw = s.Detach();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(SharedStrLength(raw), 9);
  {
    TByteString shared = TByteString::Share(raw);  // the caller keeps its reference
    EXPECT_EQ(shared.str(), "Orvik7316");
  }
  TByteString adopted = TByteString::Adopt(raw);  // takes the caller's reference
  EXPECT_EQ(adopted.str(), "Orvik7316");
}

}  // namespace
