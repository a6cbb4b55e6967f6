#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <string>

#include "platform/TextLogFile.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class TextLogFileTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    Folder = fs::temp_directory_path() / (std::string("orvik_log_") + info->name());
    fs::remove_all(Folder);
    fs::create_directories(Folder);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(Folder, ignored);
  }
  std::string PathOf(const std::string& name) const { return (Folder / name).string(); }
  static std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path Folder;
};

TEST_F(TextLogFileTest, WritesEachLineByteForByteWithCrLf) {
  const std::string path = PathOf("raw.log");
  // NUL, LF, CR, Ctrl-Z and high bytes must pass untranslated.
  const std::string binary("a\0b\nc\rd\x1A\xFF\x80", 10);
  TTextLogFile log;
  log.Create(path);
  EXPECT_TRUE(log.IsOpen());
  log.WriteLine("1,2,3 RXLEV=-71");
  log.WriteLine("");
  log.WriteLine(binary);
  log.Close();
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(ReadAll(path), "1,2,3 RXLEV=-71\r\n\r\n" + binary + "\r\n");
}

TEST_F(TextLogFileTest, CreateReplacesAnExistingFile) {
  const std::string path = PathOf("old.log");
  {
    std::ofstream old(path, std::ios::binary);
    old << "an older and much longer content that must disappear";
  }
  TTextLogFile log;
  log.Create(path);
  log.WriteLine("old");
  log.Create(path);  // closes the open file first
  EXPECT_EQ(ReadAll(path), "");
  log.WriteLine("new");
  log.Close();
  EXPECT_EQ(ReadAll(path), "new\r\n");
}

TEST_F(TextLogFileTest, FailedCreateThrowsAndLeavesNothingOpen) {
  TTextLogFile log;
  EXPECT_THROW(log.WriteLine("x"), std::ios_base::failure);  // never opened
  log.Create(PathOf("before.log"));
  log.WriteLine("kept");
  EXPECT_THROW(log.Create(PathOf("missing-folder/x.log")), std::ios_base::failure);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(fs::exists(Folder / "missing-folder"));
  EXPECT_EQ(ReadAll(PathOf("before.log")), "kept\r\n");
  EXPECT_THROW(log.WriteLine("lost"), std::ios_base::failure);
  EXPECT_NO_THROW(log.Close());
}

TEST_F(TextLogFileTest, DestructionWritesTheBufferedLines) {
  {
    TTextLogFile log;
    log.Create(PathOf("dropped.log"));
    log.WriteLine("last words");
  }
  EXPECT_EQ(ReadAll(PathOf("dropped.log")), "last words\r\n");
}

#if defined(__linux__)
TEST_F(TextLogFileTest, FailedFlushThrowsOnCloseAndTheFileIsClosed) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TTextLogFile log;
  log.Create("/dev/full");
  log.WriteLine("no room");  // buffered
  EXPECT_THROW(log.Close(), std::ios_base::failure);
  EXPECT_FALSE(log.IsOpen());
}
#endif

}  // namespace
