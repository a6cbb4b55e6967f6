// The byte stream of the soaks: report lines of every kind in a seeded order,
// cut into chunks of 1 to 300 bytes wherever they fall.
#pragma once

#include <cstdint>
#include <random>
#include <string>

class TSoakStream {
 public:
  explicit TSoakStream(uint32_t seed) : Random(seed) {}

  // The next line with its CR LF; Lines() counts them.
  std::string NextLine() {
    ++LineCount;
    switch (Random() % 4) {
      case 0:
        return "IDLE," + std::to_string(Random() % 1024) + ",23," + std::to_string(Random() % 64) +
               ",35,-41,60:12:30,71:5:22\r\n";
      case 1: return "DED,62,23,38,36,2,1," + std::to_string(Random() % 64) + ",5,60:12:30\r\n";
      case 2: return "L3,0306A1B2C3\r\n";  // CONNECT
      default: return "L3,062D\r\n";       // RELEASE of radio resources
    }
  }
  // The next chunk: whole lines appended until at least `size` bytes wait.
  std::string NextChunk() {
    const std::size_t size = 1 + Random() % 300;
    while (Pending.size() < size) Pending += NextLine();
    std::string chunk = Pending.substr(0, size);
    Pending.erase(0, size);
    return chunk;
  }
  uint64_t Lines() const { return LineCount; }
  // Lines complete in the chunks handed out so far.
  uint64_t CompleteLines() const { return LineCount - (Pending.empty() ? 0 : 1); }

 private:
  std::mt19937 Random;
  std::string Pending;
  uint64_t LineCount = 0;
};

// A count from the environment (for the long runs of the soak leg), else `fallback`.
inline int64_t SoakCount(const char* variable, int64_t fallback) {
  const char* text = std::getenv(variable);
  return text && *text ? std::stoll(text) : fallback;
}
