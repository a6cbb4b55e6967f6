// The parser's state around the frames: construction, mode changes, the
// callback (absent, throwing, switching modes) and the frame strings' lifetime.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ParserTestSupport.h"

namespace {

using namespace parser_test;

TEST(ParserLifecycle, NewParserCutsMarkedFrames) {
  int owner = 0;
  TSerialBinaryParse parser(&owner);
  EXPECT_EQ(parser.GetMode(), fmMarked);

  struct TSeen { void* Owner = nullptr; TFrames Frames; } seen;
  parser.SetOnFrame(
      [](void* context, void* frameOwner, const TByteString& frame) {
        auto& s = *static_cast<TSeen*>(context);
        s.Owner = frameOwner;
        s.Frames.push_back(frame.str());
      },
      &seen);
  const std::string bytes = Hex("41 82 42 0D 83 43 0D");
  parser.Feed(bytes.data(), static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(seen.Frames, TFrames{"B"});
  EXPECT_EQ(seen.Owner, &owner);
}

TEST(ParserLifecycle, SetModeKeepsOrDiscardsPartialFrame) {
  TRecorder r(fmTextLine);
  r.Feed("AB");
  r.Parser.SetMode(fmTextLine);
  r.Feed("C\r");
  EXPECT_EQ(r.Frames, TFrames{"ABC"});

  r.Feed("lost");
  r.Parser.SetMode(fmFlagged);
  EXPECT_EQ(r.Parser.GetMode(), fmFlagged);
  r.Feed("D~");
  EXPECT_EQ(r.Frames, (TFrames{"ABC", "D"}));
}

TEST(ParserLifecycle, PendingDleSurvivesOnlyTheSameMode) {
  TRecorder same(fmDle);
  same.Feed(Hex("41 10"));
  same.Parser.SetMode(fmDle);
  same.Feed(Hex("03"));
  EXPECT_EQ(same.Frames, TFrames{Hex("41 10 03")});

  // Leaving fmDle and coming back: the 0x03 is plain data, not an ETX.
  TRecorder back(fmDle);
  back.Feed(Hex("41 10"));
  back.Parser.SetMode(fmTextLine);
  back.Parser.SetMode(fmDle);
  back.Feed(Hex("03 10 03"));
  EXPECT_EQ(back.Frames, TFrames{Hex("03 10 03")});
}

TEST(ParserLifecycle, InvalidModeIgnoresChunksUntilAValidOne) {
  TRecorder r(fmTextLine);
  r.Feed("A");
  r.Parser.SetMode(4);
  EXPECT_EQ(r.Parser.GetMode(), 4);
  r.Feed("B\rC\r");
  r.Parser.SetMode(fmTextLine);
  r.Feed("D\r");
  EXPECT_EQ(r.Frames, TFrames{"D"});
}

TEST(ParserLifecycle, EmptyOrNegativeCountScansNothing) {
  TRecorder r(fmTextLine);
  const char bytes[] = "A\r";
  r.Parser.Feed(bytes, 0);
  r.Parser.Feed(bytes, -2);
  r.Parser.Feed(nullptr, 2);
  r.Feed("B\r");
  EXPECT_EQ(r.Frames, TFrames{"B"});
}

// Without a callback every terminator empties the frame; a partial frame
// waits for the callback to be installed.
TEST(ParserLifecycle, WithoutCallbackTerminatorsDiscard) {
  struct TCase { uint8_t Mode; std::string Discarded, Partial, Rest, Expected; };
  const TCase cases[] = {
      {fmTextLine, "AB\r", "C", "D\r", "CD"},
      {fmMarked, Hex("82 41 83"), Hex("82 43"), Hex("44 83"), "CD"},
      {fmFlagged, "AB~", "C", "D~", "CD"},
      {fmDle, Hex("41 10 03"), Hex("43 10"), Hex("10 10 03"), Hex("43 10 10 03")},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Mode));
    TRecorder r(c.Mode);
    r.Parser.SetOnFrame(nullptr, &r);
    r.Feed(c.Discarded);
    r.Feed(c.Partial);
    EXPECT_TRUE(r.Frames.empty());
    r.Parser.SetOnFrame([](void* ctx, void*, const TByteString& f) {
      static_cast<TRecorder*>(ctx)->Frames.push_back(f.str());
    }, &r);
    r.Feed(c.Rest);
    EXPECT_EQ(r.Frames, TFrames{c.Expected});
  }
}

// A throwing callback: the exception reaches the caller, the rest of the
// chunk is left unscanned, and the failed frame does not prefix the next one.
TEST(ParserLifecycle, ThrowingCallbackLeavesACleanFrame) {
  struct TCase { uint8_t Mode; std::string Chunk, Next; TFrames Expected; };
  const TCase cases[] = {
      {fmTextLine, "BAD\rskipped\r", "OK\r", {"BAD", "OK"}},
      {fmMarked, Hex("82") + "BAD" + Hex("83 82") + "skipped" + Hex("83"), "OK" + Hex("83"),
       {"BAD", "OK"}},
      {fmFlagged, "BAD~skipped~", "OK~", {"BAD", "OK"}},
      {fmDle, "BAD" + Hex("10 03") + "skipped" + Hex("10 03"), "OK" + Hex("10 03"),
       {"BAD" + Hex("10 03"), "OK" + Hex("10 03")}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Mode));
    const int64_t liveBefore = SharedLiveBlocks();
    TRecorder r(c.Mode);
    r.Hook = [](TRecorder&, const std::string& frame) {
      if (frame.starts_with("BAD")) throw std::runtime_error("rejected");
    };
    EXPECT_THROW(r.Feed(c.Chunk), std::runtime_error);
    EXPECT_EQ(SharedLiveBlocks(), liveBefore);
    r.Feed(c.Next);
    EXPECT_EQ(r.Frames, c.Expected);
  }
}

// A callback that switches modes: the rest of the same chunk is cut under
// the new mode, exactly as if it had arrived in a later chunk.
TEST(ParserLifecycle, ModeSwitchInCallbackAppliesToRestOfChunk) {
  const std::string stream = "hello\rBIN\rA\r~x\ny~TXT~line\r";
  const TFrames expected{"hello", "BIN", "A\r", "x\ny", "TXT", "line"};
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, stream.size()}) {
    SCOPED_TRACE(chunk);
    TRecorder r(fmTextLine);
    r.Hook = [](TRecorder& self, const std::string& frame) {
      if (frame == "BIN") self.Parser.SetMode(fmFlagged);
      if (frame == "TXT") self.Parser.SetMode(fmTextLine);
    };
    for (std::size_t at = 0; at < stream.size(); at += chunk) r.Feed(stream.substr(at, chunk));
    EXPECT_EQ(r.Frames, expected);
  }
}

// Each delivered frame's string is released when the callback returns.
TEST(ParserLifecycle, FrameStringsAreReleased) {
  const int64_t liveBefore = SharedLiveBlocks();
  {
    TRecorder r(fmDle);
    r.Feed(Letters(100) + Hex("10 03") + Letters(5000) + Hex("10 03"));
    EXPECT_EQ(r.Frames.size(), 2u);
    EXPECT_EQ(SharedLiveBlocks(), liveBefore);
  }
  EXPECT_EQ(SharedLiveBlocks(), liveBefore);
}

}  // namespace
