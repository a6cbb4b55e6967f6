// TSerialBinaryParse: cuts the handset's serial byte stream into frames.
//
// The problem. Bytes arrive in chunks of whatever size the host happened to
// read: a frame may be split anywhere (even between an escape byte and the
// byte it escapes), and one chunk may hold several frames. Nothing marks the
// start of the stream, so whatever precedes the first terminator (leading
// garbage included) is gathered as the first frame; the only resynchronisation
// is the terminator itself, plus the start marker in fmMarked. A frame that
// grows beyond 4096 bytes is truncated, never rejected: further bytes are
// dropped until its terminator arrives, then the first 4096 bytes go out
// (fmDle may end with its two-byte DLE ETX at 4097). Empty frames are never
// delivered.
//
// The modes:
//   fmTextLine  CR ends a line (not part of it); NUL and LF vanish; BS removes
//               the last buffered byte. Every other byte is data.
//   fmMarked    0x83 ends a frame, 0x82 discards any partial frame (a new one
//               starts); raw CR, XON, XOFF vanish. 0x90 escapes the next
//               byte: 0x8D, 0x91, 0x93 become 0x0D, 0x11, 0x13, every other
//               byte (0x82, 0x83, 0x90 included) stands for itself.
//   fmFlagged   '~' ends a frame. '}' escapes the next byte: ']' becomes '}',
//               '^' becomes '~', every other byte stands for itself (this is
//               not HDLC's XOR-everything rule).
//   fmDle       DLE ETX (0x10 0x03) ends a frame and stays in it; DLE DLE
//               stands for one DLE; DLE with any other byte stays as both
//               bytes. A sender's leading DLE STX is therefore kept.
// The escapes of fmMarked and fmFlagged hold no state between chunks: an
// escape byte that ends a chunk is dropped, and the next chunk's first byte
// is taken as an ordinary byte. fmDle remembers a pending DLE across chunks.
//
// The parser does no I/O: the owner pushes bytes in with Feed and receives
// frames through the callback, on the thread that called Feed.
//
// Threads: no locking. Only one call may run on one parser at a time; the
// callback runs inside Feed on the caller's thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/ByteString.h"

enum TFrameMode : uint8_t { fmTextLine = 0, fmMarked = 1, fmFlagged = 2, fmDle = 3 };

// Receives the context given to SetOnFrame, the parser's owner and one
// complete frame. The frame string is borrowed: it is valid during the call;
// copy it (TByteString copies share the bytes) to keep it.
using TFrameEvent = void (*)(void* context, void* owner, const TByteString& frame);

class TSerialBinaryParse {
 public:
  // Longest frame built by ordinary appends; fmDle's closing pair may add one.
  static constexpr int32_t MaxFrameLength = 4096;

  // `owner` is passed back to every callback and is not owned. A new parser
  // is in fmMarked with an empty frame and no callback.
  explicit TSerialBinaryParse(void* owner);
  TSerialBinaryParse(const TSerialBinaryParse&) = delete;
  TSerialBinaryParse& operator=(const TSerialBinaryParse&) = delete;

  // Installs (or replaces) the callback; a null `code` removes it. Without a
  // callback each terminator silently discards the frame.
  void SetOnFrame(TFrameEvent code, void* context) noexcept;

  // Selects a framing mode. A different mode discards the partial frame (and
  // a pending DLE); the current mode again changes nothing. Values above 3
  // are stored, and Feed then ignores every chunk until a valid mode is set.
  // May be called from inside the callback: the rest of that chunk is then
  // cut under the new mode.
  void SetMode(uint8_t mode) noexcept;
  uint8_t GetMode() const noexcept { return FMode; }

  // Scans `count` bytes at `data`, calling the callback once per complete,
  // non-empty frame in stream order. A count of 0 or less (or null data)
  // scans nothing. The parser raises nothing of its own; an exception from
  // the callback (or std::bad_alloc making the frame) propagates at once and
  // the rest of the chunk is not scanned, but the frame in hand has already
  // been discarded, so the next frame starts clean.
  void Feed(const void* data, int32_t count);

 private:
  using TBytePtr = const uint8_t*;

  TBytePtr ScanTextLine(TBytePtr p, TBytePtr end);
  TBytePtr ScanMarked(TBytePtr p, TBytePtr end);
  TBytePtr ScanFlagged(TBytePtr p, TBytePtr end);
  TBytePtr ScanDle(TBytePtr p, TBytePtr end);

  void AppendRun(TBytePtr run, std::size_t length) noexcept;
  void AppendByte(uint8_t b) noexcept;
  void ResetFrame() noexcept;
  // Ends the current frame: delivers it (when not empty and a callback is
  // installed) or discards it (when no callback is installed).
  void DeliverFrame();
  // DeliverFrame for the buffered bytes followed by `length` bytes at `run`.
  void EndFrameWith(TBytePtr run, std::size_t length);
  void Deliver(TBytePtr bytes, std::size_t length);
  void SetStarted(bool started) noexcept { FStarted = started; }

  void* FOwner;
  // Sized past the longest frame (4097) so the DLE pair needs no bound check.
  std::array<uint8_t, 4100> FFrameBuffer{};
  int32_t FFrameLength = 0;
  TFrameEvent FOnFrame = nullptr;
  void* FOnFrameContext = nullptr;
  uint8_t FMode = fmMarked;
  // fmDle only: 0 nothing pending, 0x10 an unpaired DLE was the last byte,
  // 1 the last thing handled was a DLE pair. Only 0x10 affects the next byte.
  uint8_t FDleState = 0;
  bool FStarted = false;
};
