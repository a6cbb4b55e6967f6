// How the stream is cut into chunks must not change the frames. The one
// legitimate difference: in fmMarked and fmFlagged an escape byte that ends
// a chunk is dropped and the next byte taken plainly, which is the same as
// deleting that escape byte from the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ParserTestSupport.h"

namespace {

using namespace parser_test;
using TChunking = std::vector<std::size_t>;

struct TModeBytes {
  uint8_t Mode;
  std::string Specials;  // bytes with a meaning in this mode
  int Escape;            // escape byte, or -1 when escapes carry over chunks
};

const TModeBytes ModeBytes[] = {
    {fmTextLine, Hex("0D 0D 0D 0A 08 00"), -1},
    {fmMarked, Hex("82 83 83 90 90 8D 91 93 0D 11 13"), 0x90},
    {fmFlagged, "~~}}]^", '}'},
    {fmDle, Hex("10 10 10 03 03 02"), -1},
};

void PrintTo(const TModeBytes& m, std::ostream* os) { *os << "mode " << static_cast<int>(m.Mode); }

// Random bytes with the mode's special bytes mixed in often, and now and
// then a long plain run so that frames overflow across chunk boundaries.
std::string MakeStream(const TModeBytes& m, std::mt19937& rng) {
  std::string s;
  std::uniform_int_distribution<int> pick(0, 9999), byte(0, 255), run(4500, 7000);
  std::uniform_int_distribution<std::size_t> special(0, m.Specials.size() - 1);
  while (s.size() < 60000) {
    const int p = pick(rng);
    if (p < 3500) s += m.Specials[special(rng)];
    else if (p < 9998) s += static_cast<char>(byte(rng));
    else s += Letters(static_cast<std::size_t>(run(rng)));
  }
  return s;
}

TChunking FixedChunks(std::size_t total, std::size_t size) {
  TChunking c(total / size, size);
  if (total % size) c.push_back(total % size);
  return c;
}

TChunking RandomChunks(std::size_t total, std::mt19937& rng) {
  std::uniform_int_distribution<std::size_t> tiny(0, 3), size(0, 700);
  std::uniform_int_distribution<int> coin(0, 3);
  TChunking c;
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min(total - done, coin(rng) == 0 ? tiny(rng) : size(rng));
    c.push_back(n);
    done += n;
  }
  return c;
}

TFrames FeedChunked(uint8_t mode, const std::string& stream, const TChunking& chunks) {
  TRecorder r(mode);
  std::size_t at = 0;
  for (std::size_t n : chunks) {
    r.Feed(std::string_view(stream).substr(at, n));
    at += n;
  }
  return r.Frames;
}

// The stream with every escape byte removed that is in escape position and
// is the last byte of its chunk.
std::string DropStrandedEscapes(const std::string& stream, const TChunking& chunks, char escape) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t n : chunks) {
    for (std::size_t i = start; i < start + n; ++i) {
      if (stream[i] != escape) {
        out += stream[i];
      } else if (i + 1 < start + n) {
        out += stream[i];
        out += stream[++i];
      }
    }
    start += n;
  }
  return out;
}

class ChunkingProperty : public ::testing::TestWithParam<TModeBytes> {};

TEST_P(ChunkingProperty, ChunkingDoesNotChangeFrames) {
  const TModeBytes& m = GetParam();
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const std::string stream = MakeStream(m, rng);
    const TFrames whole = FeedChunked(m.Mode, stream, {stream.size()});
    // The stream must exercise what it is meant to: many frames, some cut.
    ASSERT_GT(whole.size(), 200u);
    ASSERT_TRUE(std::any_of(whole.begin(), whole.end(),
                            [](const std::string& f) { return f.size() >= 4096; }));

    std::vector<TChunking> chunkings{FixedChunks(stream.size(), 1), FixedChunks(stream.size(), 4096)};
    for (int i = 0; i < 5; ++i) chunkings.push_back(RandomChunks(stream.size(), rng));

    for (std::size_t k = 0; k < chunkings.size(); ++k) {
      SCOPED_TRACE(k);
      const TFrames got = FeedChunked(m.Mode, stream, chunkings[k]);
      if (m.Escape < 0) {
        EXPECT_TRUE(got == whole);
      } else {
        const std::string adjusted = DropStrandedEscapes(stream, chunkings[k], static_cast<char>(m.Escape));
        EXPECT_TRUE(got == FeedChunked(m.Mode, adjusted, {adjusted.size()}));
      }
    }
  }
}

std::string ModeName(const ::testing::TestParamInfo<TModeBytes>& info) {
  static const char* const names[] = {"TextLine", "Marked", "Flagged", "Dle"};
  return names[info.param.Mode];
}

INSTANTIATE_TEST_SUITE_P(AllModes, ChunkingProperty, ::testing::ValuesIn(ModeBytes), ModeName);

}  // namespace
