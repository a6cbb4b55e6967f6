// What every fuzz target shares: a reader that turns the fuzzer's bytes into
// decisions, a check that stops the run with a message, the shared memory
// counters, and a decoder clock whose pauses return at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/SharedMM.h"
#include "plugin/Orvik7316MSDecode.h"

namespace fuzz {

// Reads decisions off the front of the input; past its end every read is 0.
class TInput {
 public:
  TInput(const uint8_t* data, std::size_t size) : P(data), N(size) {}
  std::size_t Left() const { return N; }
  bool Empty() const { return N == 0; }
  uint8_t Byte() {
    if (N == 0) return 0;
    --N;
    return *P++;
  }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
  // Up to `n` bytes, fewer when the input ends first.
  std::string_view Bytes(std::size_t n) {
    if (n > N) n = N;
    const std::string_view out(reinterpret_cast<const char*>(P), n);
    P += n;
    N -= n;
    return out;
  }
  std::string_view Rest() { return Bytes(N); }

 private:
  const uint8_t* P;
  std::size_t N;
};

[[noreturn]] inline void Fail(const char* where, const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz finding in %s: %s\n", where, what.c_str());
  std::abort();
}

#define FUZZ_CHECK(condition, what) \
  do {                              \
    if (!(condition)) ::fuzz::Fail(__FILE__, (what)); \
  } while (0)

struct TLive {
  int64_t Blocks = SharedLiveBlocks();
  int64_t Bytes = SharedLiveBytes();
  int64_t BadFrees = SharedBadFrees();
  bool operator==(const TLive&) const = default;
  std::string Describe() const {
    return std::to_string(Blocks) + " blocks, " + std::to_string(Bytes) + " bytes, " +
           std::to_string(BadFrees) + " refused releases";
  }
};

// Local time that moves a second per reading; pauses return at once.
struct TInstantClock {
  double Now = 45292.5;
  TDecoderClock Clock() {
    return {[](void* c) { return static_cast<TInstantClock*>(c)->Now += 1.0 / 86400.0; },
            [](void*, uint32_t) {}, this};
  }
};

}  // namespace fuzz
