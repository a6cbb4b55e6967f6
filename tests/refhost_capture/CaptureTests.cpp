// Capture files: what is written reads back the same, and a damaged file
// reads up to its last good record and says how it ended.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "refhost/capture/CaptureReader.h"
#include "refhost/capture/CaptureWriter.h"
#include "refhost/capture/ReplaySource.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("orvik-capture-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(Dir);
    Path = Dir / "session.orvcap";
  }
  void TearDown() override { fs::remove_all(Dir); }

  // A session of every record type; returns the file offsets at which each
  // record starts (the last entry is the end of the file).
  std::vector<uint64_t> WriteSession() {
    TCaptureWriter writer(Path.string(), 0x1122334455667788ull, std::chrono::milliseconds(0));
    std::vector<uint64_t> starts{TCaptureHeaderSize};
    writer.OnSettings(Settings);
    for (int i = 0; i < 4; ++i) {
      writer.OnChunk(TChunk{46000.5 + i / 86400.0, std::vector<uint8_t>(10 + i, uint8_t('A' + i))});
      if (i == 1) writer.OnFix(Fix);
      if (i == 2) writer.OnLineLost(46000.6, "port closed by the other end");
      if (i == 2) writer.OnLineRegained(46000.7);
    }
    writer.OnStop();
    // Offsets from the lengths in the file itself.
    const std::vector<uint8_t> bytes = ReadAll(Path);
    for (uint64_t at = TCaptureHeaderSize; at < bytes.size();) {
      at += TCaptureRecordHeaderSize + GetU32(bytes.data() + at);
      starts.push_back(at);
    }
    return starts;
  }

  fs::path Dir, Path;
  TSessionSettings Settings{"simulate", "simulate", -150, 42};
  TGpsFix Fix{46000.55, 13.4, 52.5, NAN, 12.5, 2, 7};
};

TEST(CaptureCrc, MatchesTheStandardCheckValueHoweverSplit) {
  const std::string text = "123456789abcdefghijklmnopq";
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(CaptureCrc32(0, p, 9), 0xCBF43926u);  // the CRC-32 check value
  const uint32_t whole = CaptureCrc32(0, p, text.size());
  for (size_t cut = 0; cut <= text.size(); ++cut)
    EXPECT_EQ(CaptureCrc32(CaptureCrc32(0, p, cut), p + cut, text.size() - cut), whole) << cut;
}

TEST_F(CaptureTest, EveryRecordReadsBackAsWritten) {
  const std::vector<uint64_t> starts = WriteSession();
  TCaptureReader reader(Path.string());
  EXPECT_EQ(reader.Salt(), 0x1122334455667788ull);
  std::vector<TCaptureEvent> events;
  for (TCaptureEvent e; reader.Next(e);) events.push_back(e);
  ASSERT_EQ(events.size(), 9u);
  EXPECT_EQ(reader.End().Kind, TCaptureEndKind::Complete);
  EXPECT_EQ(reader.End().Offset, starts.back());

  EXPECT_EQ(events[0].Settings.Source, "simulate");
  EXPECT_EQ(events[0].Settings.UtcOffsetMinutes, -150);
  EXPECT_EQ(events[0].Settings.Seed, 42u);
  const std::vector<TCaptureRecordType> types{
      TCaptureRecordType::Settings, TCaptureRecordType::Chunk,    TCaptureRecordType::Chunk,
      TCaptureRecordType::Fix,      TCaptureRecordType::Chunk,    TCaptureRecordType::LineLost,
      TCaptureRecordType::LineRegained, TCaptureRecordType::Chunk, TCaptureRecordType::Stop};
  for (size_t i = 0; i < types.size(); ++i) EXPECT_EQ(events[i].Type, types[i]) << i;
  EXPECT_EQ(events[4].Bytes, std::vector<uint8_t>(12, 'C'));
  EXPECT_DOUBLE_EQ(events[4].Time, 46000.5 + 2 / 86400.0);
  EXPECT_DOUBLE_EQ(events[3].Fix.Longitude, 13.4);
  EXPECT_TRUE(std::isnan(events[3].Fix.AltitudeM));
  EXPECT_EQ(events[3].Fix.Quality, 2);
  EXPECT_EQ(events[3].Fix.Satellites, 7);
  EXPECT_EQ(events[5].Why, "port closed by the other end");
  EXPECT_DOUBLE_EQ(events[6].Time, 46000.7);
  EXPECT_DOUBLE_EQ(events[8].Time, 46000.5 + 3 / 86400.0);  // the last event's time
}

// Damage at a place in the file, and what the reader must make of it.
struct TDamage {
  const char* Name;
  std::function<void(std::vector<uint8_t>&, const std::vector<uint64_t>&)> Apply;
  TCaptureEndKind Kind;
  int64_t GoodRecords;
};

TEST_F(CaptureTest, DamageStopsAtTheLastGoodRecord) {
  const auto cut = [](int back) {
    return [back](std::vector<uint8_t>& b, const std::vector<uint64_t>& s) {
      b.resize(s[s.size() - 2] + back);  // inside the stop record
    };
  };
  const std::vector<TDamage> cases{
      {"cut after 1 byte of the last record", cut(1), TCaptureEndKind::Truncated, 8},
      {"cut inside the last record header", cut(11), TCaptureEndKind::Truncated, 8},
      {"cut inside the last payload", cut(15), TCaptureEndKind::Truncated, 8},
      {"cut at a record boundary",
       [](auto& b, auto& s) { b.resize(s[5]); }, TCaptureEndKind::NoStop, 5},
      {"torn last record", [](auto& b, auto& s) { b[s[8] + 13] ^= 0x01; },
       TCaptureEndKind::Truncated, 8},
      {"flipped payload byte in the middle", [](auto& b, auto& s) { b[s[4] + 14] ^= 0x40; },
       TCaptureEndKind::Corrupt, 4},
      {"flipped type byte in the middle", [](auto& b, auto& s) { b[s[2] + 4] ^= 0x01; },
       TCaptureEndKind::Corrupt, 2},
      {"impossible length in the middle", [](auto& b, auto& s) { b[s[3] + 3] = 0x7F; },
       TCaptureEndKind::Corrupt, 3},
  };
  const std::vector<uint64_t> starts = WriteSession();
  const std::vector<uint8_t> good = ReadAll(Path);
  for (const TDamage& d : cases) {
    std::vector<uint8_t> bytes = good;
    d.Apply(bytes, starts);
    WriteAll(Path, bytes);
    TCaptureReader reader(Path.string());
    int64_t read = 0;
    for (TCaptureEvent e; reader.Next(e);) ++read;
    EXPECT_EQ(reader.End().Kind, d.Kind) << d.Name << ": " << reader.End().Why;
    EXPECT_EQ(read, d.GoodRecords) << d.Name;
    EXPECT_EQ(reader.End().GoodRecords, d.GoodRecords) << d.Name;
    EXPECT_EQ(reader.End().Offset, starts[d.GoodRecords]) << d.Name;
    EXPECT_NE(DescribeCaptureEnd(reader.End(), "x").find("byte " + std::to_string(starts[d.GoodRecords])),
              std::string::npos) << d.Name;
  }
}

// A record whose checksum passes but whose values are impossible is damage
// too: in the middle the capture is corrupt, as its last record a torn write.
TEST_F(CaptureTest, ImpossibleValuesAreDamage) {
  const auto fixWith = [this](double TGpsFix::*field, double value) {
    return [=, fix = Fix](TCaptureWriter& w) mutable {
      fix.*field = value;
      w.OnFix(fix);
    };
  };
  const auto chunkAt = [](TDays t) { return [t](TCaptureWriter& w) { w.OnChunk(TChunk{t, {1}}); }; };
  const std::vector<std::pair<std::function<void(TCaptureWriter&)>, const char*>> cases{
      {fixWith(&TGpsFix::Latitude, NAN), "position off the globe"},
      {fixWith(&TGpsFix::Longitude, INFINITY), "position off the globe"},
      {fixWith(&TGpsFix::Latitude, 500), "latitude 500"},
      {chunkAt(NAN), "(days) is outside 1980..2099"},
      {chunkAt(1e300), "(days) is outside 1980..2099"},
      {[](TCaptureWriter& w) { w.OnSettings({"simulate", "", 99999, 0}); }, "UTC offset of 99999"},
  };
  for (const auto& [write, says] : cases) {
    for (const bool last : {false, true}) {
      SCOPED_TRACE(std::string(says) + (last ? " as the last record" : " in the middle"));
      {
        TCaptureWriter writer(Path.string(), 7, std::chrono::milliseconds(0));
        writer.OnSettings(Settings);
        writer.OnChunk(TChunk{46000.5, {'A'}});
        write(writer);
        if (!last) writer.OnStop();
      }
      TCaptureReader reader(Path.string());
      int64_t read = 0;
      for (TCaptureEvent e; reader.Next(e);) ++read;
      EXPECT_EQ(read, 2);
      EXPECT_EQ(reader.End().Kind, last ? TCaptureEndKind::Truncated : TCaptureEndKind::Corrupt);
      EXPECT_NE(reader.End().Why.find(says), std::string::npos) << reader.End().Why;
    }
  }
}

TEST_F(CaptureTest, RecordsOfAnotherSaltDoNotPass) {
  WriteSession();
  std::vector<uint8_t> bytes = ReadAll(Path);
  std::vector<uint8_t> header = EncodeCaptureHeader(0x1122334455667789ull);
  std::copy(header.begin(), header.end(), bytes.begin());
  WriteAll(Path, bytes);
  TCaptureReader reader(Path.string());
  TCaptureEvent e;
  EXPECT_FALSE(reader.Next(e));
  EXPECT_EQ(reader.End().Kind, TCaptureEndKind::Corrupt);
}

TEST_F(CaptureTest, RefusesWhatIsNotACaptureOfThisVersion) {
  WriteSession();
  const std::vector<uint8_t> good = ReadAll(Path);
  struct TRefusal {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Apply;
    const char* Says;
  };
  const std::vector<TRefusal> cases{
      {"text file", [](auto& b) { b.assign({'t', 'i', 'm', 'e', ',', 'x', '\n'}); }, "not an Orvik capture"},
      {"empty", [](auto& b) { b.clear(); }, "not an Orvik capture"},
      {"magic", [](auto& b) { b[6] = '\n'; }, "not an Orvik capture"},
      {"damaged header", [](auto& b) { b[20] ^= 1; }, "header is damaged"},
      {"newer version", [](auto& b) { b[8] = TCaptureVersion + 1; }, "newer than this program"},
  };
  for (const TRefusal& r : cases) {
    std::vector<uint8_t> bytes = good;
    r.Apply(bytes);
    WriteAll(Path, bytes);
    try {
      TCaptureReader reader(Path.string());
      ADD_FAILURE() << r.Name << " was accepted";
    } catch (const ECaptureRefused& e) {
      EXPECT_NE(std::string(e.what()).find(r.Says), std::string::npos) << r.Name << ": " << e.what();
    }
  }
  EXPECT_THROW(TCaptureReader((Dir / "missing.orvcap").string()), ECaptureRefused);
}

TEST_F(CaptureTest, ReplaySourceQueuesTheEventsInOrderThenTheEnd) {
  WriteSession();
  TCaptureReader reader(Path.string());
  TSessionEventQueue queue(16);  // smaller than the session: the source waits for room
  TReplaySource source(reader, queue, false);
  ASSERT_TRUE(source.Settings().has_value());
  EXPECT_EQ(source.Settings()->UtcOffsetMinutes, -150);
  source.Start();
  std::vector<TSessionEventKind> kinds;
  TSessionEvent e;
  std::vector<TDays> chunkTimes;
  while (queue.Pop(e, -1) == TPopResult::Event && e.Kind != TSessionEventKind::EndOfInput) {
    kinds.push_back(e.Kind);
    if (e.Kind == TSessionEventKind::Chunk) chunkTimes.push_back(e.Chunk.HostTime);
  }
  source.Join();
  using K = TSessionEventKind;
  EXPECT_EQ(kinds, (std::vector<K>{K::Chunk, K::Chunk, K::Fix, K::Chunk, K::LineLost,
                                   K::LineRegained, K::Chunk}));
  EXPECT_EQ(chunkTimes.size(), 4u);
  EXPECT_TRUE(std::is_sorted(chunkTimes.begin(), chunkTimes.end()));
  EXPECT_EQ(source.End().Kind, TCaptureEndKind::Complete);
}

}  // namespace
