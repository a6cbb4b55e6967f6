// The receive path in replay: report lines through ReceiveBytes, each decoded
// by the stand-in decoding library, copied and stored, while the host fetches
// (slot 36), frees (34) and clears (37) after every chunk. Replay sends and
// pauses nothing, so this is the decoder's own cost per frame. The yardstick
// is the frame parser alone on the same bytes with an empty callback.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "host/GPSMarkData.h"
#include "host/SharedMM.h"
#include "plugin/Orvik7316MSDecode.h"
#include "serial/ParseBinary.h"
#include "testdata/DataAccessAPIUnit.h"

namespace {

constexpr std::size_t StreamSize = 256 * 1024;
constexpr std::size_t ChunkSize = 4096;

// A port that takes everything and reports a fixed time.
class TQuietPort final : public TDevicePort {
 public:
  bool IsOpen() override { return true; }
  void SetOptionByte(uint8_t) override {}
  void SetOptionA(int32_t) override {}
  void SetOptionB(int32_t) override {}
  double CurrentTime() override { return 45292.5; }
  void Write(const void*, int32_t) override {}
  void Open(bool) override {}
  void Close() override {}
  void PurgeA() override {}
  void PurgeB() override {}
  void EnableA(bool) override {}
  void EnableB(bool) override {}
};

// Appends ",<value>" (or "<sep><value>").
void Field(std::string& line, int value, char sep = ',') {
  line += sep;
  line += std::to_string(value);
}

// A handset's report stream: mostly idle reports with neighbours, some
// dedicated reports and signalling messages, each line ended by CR LF.
std::string ReportStream(int32_t& lines) {
  std::mt19937 rng(7316);
  std::uniform_int_distribution<int> kind(0, 9), arfcn(0, 1023), bsic(0, 63), level(0, 63),
      cvalue(-99, 99), qual(0, 7), neighbours(0, 6);
  const char* const messages[] = {"L3,8301", "L3,0307", "L3,030F", "L3,032D", "L3,060D00",
                                  "L3,061C00F1100001", "L3,0621", "L3,0562"};
  std::string s;
  lines = 0;
  while (s.size() < StreamSize) {
    const int k = kind(rng);
    if (k < 6) {
      s += "IDLE";
      Field(s, arfcn(rng));
      Field(s, bsic(rng));
      Field(s, level(rng));
      Field(s, cvalue(rng));
      Field(s, cvalue(rng));
    } else if (k < 8) {
      s += "DED";
      Field(s, arfcn(rng));
      Field(s, bsic(rng));
      Field(s, level(rng));
      Field(s, level(rng));
      Field(s, qual(rng));
      Field(s, qual(rng));
      s += ",3,5";
    } else {
      s += messages[static_cast<std::size_t>(arfcn(rng)) % std::size(messages)];
    }
    if (k < 8) {
      for (int n = neighbours(rng); n > 0; --n) {
        Field(s, arfcn(rng));
        Field(s, bsic(rng), ':');
        Field(s, level(rng), ':');
      }
    }
    s += "\r\n";
    ++lines;
  }
  return s;
}

const std::string& Stream(int32_t* lines = nullptr) {
  static int32_t count = 0;
  static const std::string stream = ReportStream(count);
  if (lines) *lines = count;
  return stream;
}

void HostCollects(TDeviceDecode& d, int64_t& stored) {
  const int32_t n = d.GetStoredRecordCount();
  for (int32_t i = 0; i < n; ++i) {
    benchmark::DoNotOptimize(d.GetStoredRecord(i));
    d.FreeStoredRecord(i);
  }
  d.ClearStoredRecords();
  stored += n;
}

void BM_ReceivePathReplay(benchmark::State& state) {
  int32_t lines = 0;
  const std::string& bytes = Stream(&lines);
  TQuietPort port;
  TByteString replayName(std::string_view("drive.rec"));
  int32_t markCounter = 0;
  TPositionBlock latest{-9999.0, -9999.0, 0.0};
  TGPSMarkSource marks{replayName.Raw(), &markCounter, &latest};
  std::unique_ptr<TOrvik7316MSDecode> d(TOrvik7316MSDecode::Create(&port, &marks));
  d->StartTest();
  int64_t stored = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes.size(); at += ChunkSize) {
      const std::size_t n = std::min(ChunkSize, bytes.size() - at);
      d->ReceiveBytes(bytes.data() + at, static_cast<int32_t>(n), 0);
      HostCollects(*d, stored);
    }
  }
  d->StopTest();
  if (stored != static_cast<int64_t>(lines) * state.iterations()) state.SkipWithError("records were lost");
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(bytes.size()) * state.iterations());
}
BENCHMARK(BM_ReceivePathReplay)->Unit(benchmark::kMillisecond);

void CountFrame(void* context, void*, const TByteString& frame) {
  *static_cast<int64_t*>(context) += static_cast<int64_t>(frame.size() > 0);
}

void BM_ParserAloneOnTheSameBytes(benchmark::State& state) {
  int32_t lines = 0;
  const std::string& bytes = Stream(&lines);
  TSerialBinaryParse parser(nullptr);
  int64_t frames = 0;
  parser.SetMode(fmTextLine);
  parser.SetOnFrame(&CountFrame, &frames);
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes.size(); at += ChunkSize) {
      const std::size_t n = std::min(ChunkSize, bytes.size() - at);
      parser.Feed(bytes.data() + at, static_cast<int32_t>(n));
    }
  }
  if (frames != static_cast<int64_t>(lines) * state.iterations()) state.SkipWithError("frames were lost");
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(bytes.size()) * state.iterations());
}
BENCHMARK(BM_ParserAloneOnTheSameBytes)->Unit(benchmark::kMillisecond);

}  // namespace
