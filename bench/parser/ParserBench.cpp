// Frame parser throughput per mode on realistic input, fed in 4096-byte
// chunks as the host reads them, against a plain memchr scan for CR over the
// same text as the yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "serial/ParseBinary.h"

namespace {

constexpr std::size_t StreamSize = 1 << 20;
constexpr std::size_t ChunkSize = 4096;

// Lines of 40 to 120 printable bytes, each ending in CR LF.
std::string TextLines() {
  std::mt19937 rng(7316);
  std::uniform_int_distribution<int> length(40, 120), printable(0x20, 0x7E);
  std::string s;
  while (s.size() < StreamSize) {
    for (int n = length(rng); n > 0; --n) s += static_cast<char>(printable(rng));
    s += "\r\n";
  }
  return s;
}

// Frames of 20 to 300 random payload bytes, escaped as each mode requires.
template <class TEncode>
std::string BinaryFrames(TEncode encode) {
  std::mt19937 rng(7316);
  std::uniform_int_distribution<int> length(20, 300), byte(0, 255);
  std::string s, payload;
  while (s.size() < StreamSize) {
    payload.clear();
    for (int n = length(rng); n > 0; --n) payload += static_cast<char>(byte(rng));
    encode(s, payload);
  }
  return s;
}

std::string MarkedFrames() {
  return BinaryFrames([](std::string& s, const std::string& payload) {
    s += '\x82';
    for (char c : payload) {
      const auto b = static_cast<uint8_t>(c);
      if (b == 0x0D || b == 0x11 || b == 0x13) s += '\x90', s += static_cast<char>(b | 0x80);
      else if (b == 0x82 || b == 0x83 || b == 0x90 || b == 0x8D || b == 0x91 || b == 0x93) s += '\x90', s += c;
      else s += c;
    }
    s += '\x83';
  });
}

std::string FlaggedFrames() {
  return BinaryFrames([](std::string& s, const std::string& payload) {
    for (char c : payload) {
      if (c == '}' || c == '~') s += '}', s += static_cast<char>(c ^ 0x20);
      else s += c;
    }
    s += '~';
  });
}

std::string DleFrames() {
  return BinaryFrames([](std::string& s, const std::string& payload) {
    s += "\x10\x02";
    for (char c : payload) {
      s += c;
      if (c == '\x10') s += c;
    }
    s += "\x10\x03";
  });
}

const std::string& Input(uint8_t mode) {
  static const std::string inputs[] = {TextLines(), MarkedFrames(), FlaggedFrames(), DleFrames()};
  return inputs[mode];
}

void Ignore(void*, void*, const TByteString&) {}

void FeedAll(benchmark::State& state, uint8_t mode, TFrameEvent callback) {
  const std::string& input = Input(mode);
  TSerialBinaryParse parser(nullptr);
  parser.SetMode(mode);
  parser.SetOnFrame(callback, nullptr);
  for (auto _ : state) {
    for (std::size_t at = 0; at < input.size(); at += ChunkSize) {
      const std::size_t n = std::min(ChunkSize, input.size() - at);
      parser.Feed(input.data() + at, static_cast<int32_t>(n));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_Parse(benchmark::State& state) {
  FeedAll(state, static_cast<uint8_t>(state.range(0)), &Ignore);
}
BENCHMARK(BM_Parse)->ArgName("mode")->DenseRange(0, 3);

// Mode 0 with no callback: the scan alone, no frame strings made.
void BM_ParseTextNoCallback(benchmark::State& state) { FeedAll(state, fmTextLine, nullptr); }
BENCHMARK(BM_ParseTextNoCallback);

// Yardstick: find every CR of the mode-0 text with memchr.
void BM_MemchrCr(benchmark::State& state) {
  const std::string& input = Input(fmTextLine);
  for (auto _ : state) {
    std::size_t lines = 0;
    const char* p = input.data();
    const char* const end = p + input.size();
    while (const void* hit = std::memchr(p, '\r', static_cast<std::size_t>(end - p))) {
      ++lines;
      p = static_cast<const char*>(hit) + 1;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MemchrCr);

// Yardstick: memchr for CR plus one frame string per line, the least any
// mode-0 parser with this callback contract must do.
void BM_MemchrCrWithFrameStrings(benchmark::State& state) {
  const std::string& input = Input(fmTextLine);
  for (auto _ : state) {
    const char* p = input.data();
    const char* const end = p + input.size();
    while (const void* hit = std::memchr(p, '\r', static_cast<std::size_t>(end - p))) {
      const char* cr = static_cast<const char*>(hit);
      const TByteString frame(p, static_cast<std::size_t>(cr - p));
      benchmark::DoNotOptimize(frame.data());
      p = cr + 1;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MemchrCrWithFrameStrings);

}  // namespace
