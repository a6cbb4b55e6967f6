#include "serial/ParseBinary.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__) && !defined(ORVIK_PARSER_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

// Each scanner copies runs of ordinary bytes into the frame in bulk and
// handles only the bytes that matter one at a time. A whole frame that lies
// inside one chunk goes to the callback straight from the chunk.

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

// Runs are skipped a block at a time: a block test flags every byte that may
// be a stop of the mode (in fmTextLine also the other low control bytes),
// and the stop table decides. With SSE2 a block is 16 bytes compared at
// once; without, one 64-bit word tested with bit tricks.
#if defined(__SSE2__) && !defined(ORVIK_PARSER_PORTABLE_SCAN)

constexpr std::ptrdiff_t BlockBytes = 16;

__m128i Load(TBytePtr p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
__m128i Each(uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
__m128i Equal(__m128i v, uint8_t b) { return _mm_cmpeq_epi8(v, Each(b)); }

// Bit i of the result is set when byte i of the block may be a stop.
uint32_t TextLineBlock(TBytePtr p) {
  const __m128i v = Load(p);
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, Each(CR)), v)));
}
uint32_t MarkedBlock(TBytePtr p) {
  const __m128i v = Load(p);
  const __m128i low = _mm_or_si128(Equal(v, CR), Equal(_mm_and_si128(v, Each(0xFD)), XON));  // 0x11, 0x13
  const __m128i high = _mm_or_si128(Equal(_mm_and_si128(v, Each(0xFE)), MarkStart), Equal(v, MarkEscape));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(low, high)));
}
uint32_t FlaggedBlock(TBytePtr p) {
  const __m128i v = Load(p);
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(Equal(v, FlagEnd), Equal(v, FlagEscape))));
}

// First stop among the BlockBytes bytes at p, or null.
template <uint32_t (*Block)(TBytePtr)>
TBytePtr StopInBlock(TBytePtr p, const TStopTable& stops) {
  for (uint32_t flags = Block(p); flags != 0; flags &= flags - 1) {
    const TBytePtr q = p + std::countr_zero(flags);
    if (stops[*q]) return q;
  }
  return nullptr;
}

#else

constexpr std::ptrdiff_t BlockBytes = 8;

constexpr uint64_t EachByte(uint8_t b) { return 0x0101010101010101ull * b; }
// Non-zero exactly when some byte of w is below n (n at most 0x80).
constexpr uint64_t BytesBelow(uint64_t w, uint8_t n) {
  return (w - EachByte(n)) & ~w & EachByte(0x80);
}
constexpr uint64_t ZeroBytes(uint64_t w) { return BytesBelow(w, 1); }

// Non-zero whenever the word holds a stop byte of the mode.
uint64_t TextLineBlock(uint64_t w) { return BytesBelow(w, CR + 1); }
uint64_t MarkedBlock(uint64_t w) {
  return ZeroBytes(w ^ EachByte(CR)) | ZeroBytes((w & EachByte(0xFD)) ^ EachByte(XON)) |  // 0x11, 0x13
         ZeroBytes((w & EachByte(0xFE)) ^ EachByte(MarkStart)) |                        // 0x82, 0x83
         ZeroBytes(w ^ EachByte(MarkEscape));
}
uint64_t FlaggedBlock(uint64_t w) {
  return ZeroBytes((w & EachByte(0xFC)) ^ EachByte(0x7C));  // 0x7C..0x7F
}

// First stop among the BlockBytes bytes at p, or null.
template <uint64_t (*Block)(uint64_t)>
TBytePtr StopInBlock(TBytePtr p, const TStopTable& stops) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if (Block(w) == 0) return nullptr;
  for (int i = 0; i < BlockBytes; ++i)
    if (stops[p[i]]) return p + i;
  return nullptr;
}

#endif

// First byte in [p, end) that `stops` marks, or end.
template <auto Block>
TBytePtr FindStop(TBytePtr p, TBytePtr end, const TStopTable& stops) {
  for (; end - p >= BlockBytes; p += BlockBytes)
    if (const TBytePtr q = StopInBlock<Block>(p, stops)) return q;
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
    const TBytePtr run = p;
    const TBytePtr stop = FindStop<TextLineBlock>(p, end, TextLineStops);
    if (stop == end) {
      AppendRun(run, static_cast<std::size_t>(end - run));
      break;
    }
    p = stop + 1;
    if (*stop == CR) {
      EndFrameWith(run, static_cast<std::size_t>(stop - run));
      if (FMode != fmTextLine) return p;
      continue;
    }
    AppendRun(run, static_cast<std::size_t>(stop - run));
    if (*stop == BS && FFrameLength > 0) --FFrameLength;  // NUL and LF vanish
  }
  return end;
}

TSerialBinaryParse::TBytePtr TSerialBinaryParse::ScanMarked(TBytePtr p, TBytePtr end) {
  while (p < end) {
    const TBytePtr run = p;
    const TBytePtr stop = FindStop<MarkedBlock>(p, end, MarkedStops);
    if (stop == end) {
      AppendRun(run, static_cast<std::size_t>(end - run));
      break;
    }
    p = stop + 1;
    if (*stop == MarkEnd) {
      EndFrameWith(run, static_cast<std::size_t>(stop - run));
      if (FMode != fmMarked) return p;
      continue;
    }
    AppendRun(run, static_cast<std::size_t>(stop - run));
    if (*stop == MarkStart) {
      ResetFrame();
    } else if (*stop == MarkEscape) {
      if (p == end) break;  // the escape is dropped; the next chunk starts plain
      AppendByte(UnescapeMarked(*p++));
    }  // raw CR, XON, XOFF vanish
  }
  return end;
}

TSerialBinaryParse::TBytePtr TSerialBinaryParse::ScanFlagged(TBytePtr p, TBytePtr end) {
  while (p < end) {
    const TBytePtr run = p;
    const TBytePtr stop = FindStop<FlaggedBlock>(p, end, FlaggedStops);
    if (stop == end) {
      AppendRun(run, static_cast<std::size_t>(end - run));
      break;
    }
    p = stop + 1;
    if (*stop == FlagEnd) {
      EndFrameWith(run, static_cast<std::size_t>(stop - run));
      if (FMode != fmFlagged) return p;
      continue;
    }
    AppendRun(run, static_cast<std::size_t>(stop - run));
    if (p == end) break;  // the escape is dropped; the next chunk starts plain
    AppendByte(UnescapeFlagged(*p++));
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
  const auto length = static_cast<std::size_t>(FFrameLength);
  ResetFrame();
  Deliver(FFrameBuffer.data(), length);
}

void TSerialBinaryParse::EndFrameWith(TBytePtr run, std::size_t length) {
  if (FFrameLength != 0) {
    AppendRun(run, length);
    DeliverFrame();
    return;
  }
  // The whole frame is in the chunk: no need to copy it into the buffer.
  length = std::min(length, static_cast<std::size_t>(MaxFrameLength));
  if (FOnFrame != nullptr && length != 0) Deliver(run, length);
}

void TSerialBinaryParse::Deliver(TBytePtr bytes, std::size_t length) {
  const TByteString frame(bytes, length);
  FOnFrame(FOnFrameContext, FOwner, frame);
}
