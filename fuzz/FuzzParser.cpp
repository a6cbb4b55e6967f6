// The frame parser against a byte-at-a-time model of the framing rules, in
// all four modes, with the stream cut into chunks anywhere, modes changed
// between chunks and from inside the callback, the callback removed and put
// back, and callbacks that raise.
//
// Input: a 16-byte callback script (byte i acts on frames i, i+16, ...:
// bits 0-1 nothing / raise / change mode / change mode and raise, bits 2-4
// the mode), then operations: 0-5 feed a chunk (a 16-bit length follows),
// 6 set the mode (a byte follows), 7 remove or reinstall the callback.
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/FuzzHarness.h"
#include "serial/ParseBinary.h"

namespace {

constexpr std::size_t Max = TSerialBinaryParse::MaxFrameLength;
constexpr uint8_t DLE = 0x10, ETX = 0x03;

struct ERaised {};

uint8_t ModeOf(uint8_t b) { return b % 5 == 4 ? 9 : b % 5; }  // 9: not a mode

struct TScript {
  uint8_t Steps[16] = {};
  bool Raises(std::size_t frame) const { return Steps[frame % 16] & 1; }
  bool ChangesMode(std::size_t frame) const { return Steps[frame % 16] & 2; }
  uint8_t Mode(std::size_t frame) const { return ModeOf(static_cast<uint8_t>(Steps[frame % 16] >> 2)); }
};

// The rules, one byte at a time, written from the parser's description.
class TModel {
 public:
  explicit TModel(const TScript& script) : Script(script) {}
  std::vector<std::string> Frames;
  bool Installed = true;
  uint8_t Mode = 1;  // a new parser is in fmMarked

  void SetMode(uint8_t mode) {
    if (mode == Mode) return;
    Frame.clear();
    DlePending = false;
    Mode = mode;
  }

  // Returns false when the callback raised (the rest of the chunk is lost).
  bool Feed(std::string_view chunk) {
    bool escape = false;  // fmMarked and fmFlagged escapes end with the chunk
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      const auto b = static_cast<uint8_t>(chunk[i]);
      switch (Mode) {
        case 0:
          if (b == '\r') {
            if (!End()) return false;
          } else if (b == 0x08) {
            if (!Frame.empty()) Frame.pop_back();
          } else if (b != 0 && b != '\n') {
            Add(b);
          }
          break;
        case 1:
          if (escape) {
            escape = false;
            Add(b == 0x8D || b == 0x91 || b == 0x93 ? static_cast<uint8_t>(b - 0x80) : b);
          } else if (b == 0x83) {
            if (!End()) return false;
          } else if (b == 0x82) {
            Frame.clear();
          } else if (b == 0x90) {
            escape = true;
          } else if (b != '\r' && b != 0x11 && b != 0x13) {
            Add(b);
          }
          break;
        case 2:
          if (escape) {
            escape = false;
            Add(b == ']' ? '}' : b == '^' ? '~' : b);
          } else if (b == '~') {
            if (!End()) return false;
          } else if (b == '}') {
            escape = true;
          } else {
            Add(b);
          }
          break;
        case 3:
          if (DlePending) {
            DlePending = false;
            if (Frame.size() < Max) {  // the pair goes in whole or not at all
              Frame.push_back(static_cast<char>(DLE));
              if (b != DLE) Frame.push_back(static_cast<char>(b));
            }
            if (b == ETX && !End()) return false;
          } else if (b == DLE) {
            DlePending = true;
          } else {
            Add(b);
          }
          break;
        default:
          return true;  // not a mode: the chunk is ignored
      }
    }
    return true;
  }

 private:
  void Add(uint8_t b) {
    if (Frame.size() < Max) Frame.push_back(static_cast<char>(b));
  }
  // The frame ends; false when the callback raised.
  bool End() {
    std::string frame;
    frame.swap(Frame);
    DlePending = false;
    if (!Installed || frame.empty()) return true;
    const std::size_t n = Frames.size();
    Frames.push_back(std::move(frame));
    if (Script.ChangesMode(n)) SetMode(Script.Mode(n));
    return !Script.Raises(n);
  }

  const TScript& Script;
  std::string Frame;
  bool DlePending = false;
};

struct TReal {
  TReal(const TScript& script) : Script(script), Parser(this) {}
  const TScript& Script;
  TSerialBinaryParse Parser;
  std::vector<std::string> Frames;

  static void OnFrame(void* context, void* owner, const TByteString& frame) {
    auto* self = static_cast<TReal*>(context);
    FUZZ_CHECK(owner == self, "the callback got another owner");
    FUZZ_CHECK(!frame.empty(), "an empty frame was delivered");
    const std::size_t limit = self->Parser.GetMode() == fmDle ? Max + 1 : Max;
    FUZZ_CHECK(frame.size() <= limit, "a frame of " + std::to_string(frame.size()) + " bytes");
    // Only a two-byte DLE pair stored from 4095 reaches 4097; it need not be
    // DLE ETX (DLE and any other byte are stored as a pair too).
    if (frame.size() == Max + 1) FUZZ_CHECK(frame.view()[Max - 1] == '\x10', "4097 bytes without a DLE pair at the end");
    const std::size_t n = self->Frames.size();
    self->Frames.push_back(frame.str());
    if (self->Script.ChangesMode(n)) self->Parser.SetMode(self->Script.Mode(n));
    if (self->Script.Raises(n)) throw ERaised{};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::TInput in(data, size);
  TScript script;
  for (uint8_t& step : script.Steps) step = in.Byte();
  TModel model(script);
  {
    TReal real(script);
    real.Parser.SetOnFrame(&TReal::OnFrame, &real);
    std::size_t compared = 0;
    while (!in.Empty()) {
      const uint8_t op = in.Byte();
      if (op % 8 < 6) {
        const std::string_view chunk = in.Bytes(in.U16() % 8300);
        bool raised = false;
        try {
          real.Parser.Feed(chunk.data(), static_cast<int32_t>(chunk.size()));
        } catch (const ERaised&) {
          raised = true;
        }
        FUZZ_CHECK(model.Feed(chunk) != raised, "the callback raised in only one of parser and model");
      } else if (op % 8 == 6) {
        const uint8_t mode = ModeOf(in.Byte());
        real.Parser.SetMode(mode);
        model.SetMode(mode);
      } else {
        model.Installed = !model.Installed;
        real.Parser.SetOnFrame(model.Installed ? &TReal::OnFrame : nullptr, &real);
      }
      FUZZ_CHECK(real.Parser.GetMode() == model.Mode, "the modes differ");
      FUZZ_CHECK(real.Frames.size() == model.Frames.size(),
                 std::to_string(real.Frames.size()) + " frames, the model " + std::to_string(model.Frames.size()));
      for (; compared < real.Frames.size(); ++compared)
        FUZZ_CHECK(real.Frames[compared] == model.Frames[compared],
                   "frame " + std::to_string(compared) + " differs from the model's");
    }
  }
  return 0;
}
