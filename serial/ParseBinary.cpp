#include "serial/ParseBinary.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

// Each scanner copies runs of ordinary bytes into the frame in bulk and
// handles only the bytes that matter one at a time. The runs are found eight
// bytes at a time: a cheap word test (bit tricks on a 64-bit load) rules out
// words holding no byte of interest, and the stop table decides exactly
// within a word the test flagged.

namespace {

using TBytePtr = const uint8_t*;
using TStopTable = std::array<bool, 256>;

constexpr uint8_t NUL = 0x00, BS = 0x08, LF = 0x0A, CR = 0x0D, XON = 0x11, XOFF = 0x13;
constexpr uint8_t DLE = 0x10, ETX = 0x03;
constexpr uint8_t MarkStart = 0x82, MarkEnd = 0x83, MarkEscape = 0x90;
constexpr uint8_t FlagEnd = '~', FlagEscape = '}';

constexpr TStopTable MakeStops(std::initializer_list<uint8_t> bytes) {
  TStopTable t{};
  for (uint8_t b : bytes) t[b] = true;
  return t;
}

constexpr TStopTable TextLineStops = MakeStops({NUL, BS, LF, CR});
constexpr TStopTable MarkedStops = MakeStops({CR, XON, XOFF, MarkStart, MarkEnd, MarkEscape});
constexpr TStopTable FlaggedStops = MakeStops({FlagEnd, FlagEscape});

constexpr uint64_t EachByte(uint8_t b) { return 0x0101010101010101ull * b; }

// Non-zero exactly when some byte of w is below n (n at most 0x80).
constexpr uint64_t BytesBelow(uint64_t w, uint8_t n) {
  return (w - EachByte(n)) & ~w & EachByte(0x80);
}
constexpr uint64_t ZeroBytes(uint64_t w) { return BytesBelow(w, 1); }

// Word tests: non-zero whenever the word holds a stop byte of the mode.
// NUL, BS, LF, CR are all below 0x0E (other control bytes pass the test too).
constexpr uint64_t TextLineWord(uint64_t w) { return BytesBelow(w, CR + 1); }
constexpr uint64_t MarkedWord(uint64_t w) {
  return ZeroBytes(w ^ EachByte(CR)) | ZeroBytes((w & EachByte(0xFD)) ^ EachByte(XON)) |  // 0x11, 0x13
         ZeroBytes((w & EachByte(0xFE)) ^ EachByte(MarkStart)) |                        // 0x82, 0x83
         ZeroBytes(w ^ EachByte(MarkEscape));
}
constexpr uint64_t FlaggedWord(uint64_t w) {
  return ZeroBytes((w & EachByte(0xFC)) ^ EachByte(0x7C));  // 0x7C..0x7F
}

// First byte in [p, end) that `stops` marks, or end.
template <uint64_t (*WordTest)(uint64_t)>
TBytePtr FindStop(TBytePtr p, TBytePtr end, const TStopTable& stops) {
  for (; end - p >= 8; p += 8) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if (WordTest(w) == 0) continue;
    for (int i = 0; i < 8; ++i)
      if (stops[p[i]]) return p + i;
  }
  while (p < end && !stops[*p]) ++p;
  return p;
}

TBytePtr FindDle(TBytePtr p, TBytePtr end) {
  const void* hit = std::memchr(p, DLE, static_cast<std::size_t>(end - p));
  return hit ? static_cast<TBytePtr>(hit) : end;
}

// 0x8D, 0x91, 0x93 lose their top two bits; everything else is itself.
constexpr uint8_t UnescapeMarked(uint8_t b) {
  return (b == 0x8D || b == 0x91 || b == 0x93) ? static_cast<uint8_t>(b & 0x3F) : b;
}

// ']' and '^' are XORed with 0x20; everything else is itself.
constexpr uint8_t UnescapeFlagged(uint8_t b) {
  return (b == ']' || b == '^') ? static_cast<uint8_t>(b ^ 0x20) : b;
}

}  // namespace

// The members' initialisers give fmMarked, an empty zero-filled frame, no
// callback and nothing pending.
TSerialBinaryParse::TSerialBinaryParse(void* owner) : FOwner(owner) {}

void TSerialBinaryParse::SetOnFrame(TFrameEvent code, void* context) noexcept {
  FOnFrame = code;
  FOnFrameContext = context;
}

void TSerialBinaryParse::SetMode(uint8_t mode) noexcept {
  if (mode == FMode) return;
  ResetFrame();  // under the old mode, so leaving fmDle forgets a pending DLE
  FMode = mode;
}

void TSerialBinaryParse::Feed(const void* data, int32_t count) {
  if (!FStarted) SetStarted(true);
  if (count <= 0 || data == nullptr) return;
  TBytePtr p = static_cast<TBytePtr>(data);
  const TBytePtr end = p + count;
  // A scanner returns early only when the callback switched modes.
  while (p < end) {
    switch (FMode) {
      case fmTextLine: p = ScanTextLine(p, end); break;
      case fmMarked: p = ScanMarked(p, end); break;
      case fmFlagged: p = ScanFlagged(p, end); break;
      case fmDle: p = ScanDle(p, end); break;
      default: return;
    }
  }
}

TSerialBinaryParse::TBytePtr TSerialBinaryParse::ScanTextLine(TBytePtr p, TBytePtr end) {
  while (p < end) {
    const TBytePtr stop = FindStop<TextLineWord>(p, end, TextLineStops);
    AppendRun(p, static_cast<std::size_t>(stop - p));
    if (stop == end) break;
    p = stop + 1;
    if (*stop == BS) {
      if (FFrameLength > 0) --FFrameLength;
    } else if (*stop == CR) {
      DeliverFrame();
      if (FMode != fmTextLine) return p;
    }  // NUL and LF vanish
  }
  return end;
}

TSerialBinaryParse::TBytePtr TSerialBinaryParse::ScanMarked(TBytePtr p, TBytePtr end) {
  while (p < end) {
    const TBytePtr stop = FindStop<MarkedWord>(p, end, MarkedStops);
    AppendRun(p, static_cast<std::size_t>(stop - p));
    if (stop == end) break;
    p = stop + 1;
    if (*stop == MarkStart) {
      ResetFrame();
    } else if (*stop == MarkEnd) {
      DeliverFrame();
      if (FMode != fmMarked) return p;
    } else if (*stop == MarkEscape) {
      if (p == end) break;  // the escape is dropped; the next chunk starts plain
      AppendByte(UnescapeMarked(*p++));
    }  // raw CR, XON, XOFF vanish
  }
  return end;
}

TSerialBinaryParse::TBytePtr TSerialBinaryParse::ScanFlagged(TBytePtr p, TBytePtr end) {
  while (p < end) {
    const TBytePtr stop = FindStop<FlaggedWord>(p, end, FlaggedStops);
    AppendRun(p, static_cast<std::size_t>(stop - p));
    if (stop == end) break;
    p = stop + 1;
    if (*stop == FlagEnd) {
      DeliverFrame();
      if (FMode != fmFlagged) return p;
    } else {
      if (p == end) break;  // the escape is dropped; the next chunk starts plain
      AppendByte(UnescapeFlagged(*p++));
    }
  }
  return end;
}

TSerialBinaryParse::TBytePtr TSerialBinaryParse::ScanDle(TBytePtr p, TBytePtr end) {
  while (p < end) {
    if (FDleState != DLE) {
      const TBytePtr stop = FindDle(p, end);
      AppendRun(p, static_cast<std::size_t>(stop - p));
      if (stop == end) break;
      FDleState = DLE;
      p = stop + 1;
      continue;
    }
    const uint8_t b = *p++;
    FDleState = 1;
    // The pair is stored whole or not at all; from 4095 it makes 4097 bytes.
    if (FFrameLength < MaxFrameLength) {
      FFrameBuffer[static_cast<std::size_t>(FFrameLength++)] = DLE;
      if (b != DLE) FFrameBuffer[static_cast<std::size_t>(FFrameLength++)] = b;
    }
    if (b == ETX) {
      DeliverFrame();
      if (FMode != fmDle) return p;
    }
  }
  return end;
}

void TSerialBinaryParse::AppendRun(TBytePtr run, std::size_t length) noexcept {
  const int32_t room = MaxFrameLength - FFrameLength;
  if (room <= 0 || length == 0) return;
  const std::size_t n = std::min(length, static_cast<std::size_t>(room));
  std::memcpy(FFrameBuffer.data() + FFrameLength, run, n);
  FFrameLength += static_cast<int32_t>(n);
}

void TSerialBinaryParse::AppendByte(uint8_t b) noexcept {
  if (FFrameLength < MaxFrameLength) FFrameBuffer[static_cast<std::size_t>(FFrameLength++)] = b;
}

void TSerialBinaryParse::ResetFrame() noexcept {
  FFrameLength = 0;
  if (FMode == fmDle) FDleState = 0;
}

void TSerialBinaryParse::DeliverFrame() {
  if (FOnFrame == nullptr) {
    ResetFrame();
    return;
  }
  if (FFrameLength == 0) return;
  // Reset before anything that can throw: a frame whose delivery failed must
  // not become the head of the next one. Reset keeps the buffer's bytes.
  const std::size_t length = static_cast<std::size_t>(FFrameLength);
  ResetFrame();
  const TByteString frame(FFrameBuffer.data(), length);
  FOnFrame(FOnFrameContext, FOwner, frame);
}
