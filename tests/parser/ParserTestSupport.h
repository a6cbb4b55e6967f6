// Helpers shared by the frame parser tests: byte builders and a recorder
// that feeds a parser and collects what it delivers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ParseBinary.h"

namespace parser_test {

using TFrames = std::vector<std::string>;

// "41 82 42" -> the three bytes; spaces are ignored.
inline std::string Hex(std::string_view text) {
  std::string out, digits;
  for (char c : text) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() == 2) {
      out += static_cast<char>(std::strtoul(digits.c_str(), nullptr, 16));
      digits.clear();
    }
  }
  return out;
}

// n printable bytes ('a'..'z' repeating), none of them special in any mode.
inline std::string Letters(std::size_t n) {
  std::string s(n, 'a');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// A parser whose callback records every frame, checking that the owner and
// the context come back unchanged.
class TRecorder {
 public:
  explicit TRecorder(uint8_t mode) : Parser(&OwnerTag) {
    Parser.SetMode(mode);
    Parser.SetOnFrame(&Record, this);
  }
  void Feed(std::string_view bytes) {
    Parser.Feed(bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  void FeedChunks(const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) Feed(c);
  }

  TSerialBinaryParse Parser;
  TFrames Frames;
  int WrongOwner = 0;
  // Called with each frame before it is recorded; may throw.
  void (*Hook)(TRecorder& self, const std::string& frame) = nullptr;

 private:
  static void Record(void* context, void* owner, const TByteString& frame) {
    auto& self = *static_cast<TRecorder*>(context);
    if (owner != &OwnerTag) ++self.WrongOwner;
    self.Frames.push_back(frame.str());
    if (self.Hook) self.Hook(self, self.Frames.back());
  }
  static inline int OwnerTag = 0;
};

inline TFrames ParseChunks(uint8_t mode, const std::vector<std::string>& chunks) {
  TRecorder r(mode);
  r.FeedChunks(chunks);
  return r.Frames;
}

}  // namespace parser_test
