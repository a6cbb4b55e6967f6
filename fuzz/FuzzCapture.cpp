// The reference host's capture reader against captures whose content is
// known: a file of fix records built from the input, then cut short or with
// one byte changed where the input says. The reader gives back exactly the
// records before the damage, in order and equal to what was written, stops
// at a record boundary, and says why it stopped.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz/FuzzHarness.h"
#include "refhost/capture/CaptureReader.h"

namespace {

bool Same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// In memory where the system offers it: the reader wants a file.
std::string ScratchFile() {
  const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(folder) + "/orvik-fuzz-capture-" + std::to_string(::getpid()) + ".cap";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::TInput in(data, size);
  const uint64_t salt = in.U32() | uint64_t{in.U32()} << 32;
  const uint8_t damage = in.Byte() % 3;  // 0 none, 1 cut short, 2 one byte changed
  const uint32_t where = in.U32();
  std::vector<uint8_t> file = EncodeCaptureHeader(salt);
  std::vector<TGpsFix> fixes;
  std::vector<std::size_t> ends;  // file size after each record
  while (in.Left() >= 8) {
    TGpsFix fix;
    fix.Time = 45000.0 + in.U16() / 86400.0;
    fix.Longitude = static_cast<int16_t>(in.U16()) / 200.0;
    fix.Latitude = static_cast<int16_t>(in.U16()) / 400.0;
    fix.Quality = 1 + in.Byte() % 8;
    fix.Satellites = in.Byte() % 30;
    const std::vector<uint8_t> payload = EncodeFix(fix);
    AppendCaptureRecord(file, salt, TCaptureRecordType::Fix, payload.data(), payload.size());
    fixes.push_back(fix);
    ends.push_back(file.size());
  }
  std::size_t intact = fixes.size();  // records the damage leaves whole
  bool torn = false;                   // cut inside a record
  if (damage != 0 && file.size() > TCaptureHeaderSize) {
    const std::size_t at = TCaptureHeaderSize + where % (file.size() - TCaptureHeaderSize);
    if (damage == 1) file.resize(at);
    else file[at] ^= static_cast<uint8_t>(1 + (where >> 24) % 255);
    intact = 0;
    while (intact < ends.size() && ends[intact] <= at) ++intact;
    torn = damage == 1 && at != (intact == 0 ? TCaptureHeaderSize : ends[intact - 1]);
  }
  const std::string path = ScratchFile();
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write the scratch capture");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }
  TCaptureReader reader(path);
  TCaptureEvent event;
  std::size_t n = 0;
  while (reader.Next(event)) {
    FUZZ_CHECK(n < intact, "a damaged record was read as good");
    FUZZ_CHECK(event.Type == TCaptureRecordType::Fix, "a record of another type");
    const TGpsFix& want = fixes[n];
    FUZZ_CHECK(Same(event.Fix.Time, want.Time) && Same(event.Fix.Longitude, want.Longitude) &&
                   Same(event.Fix.Latitude, want.Latitude) && event.Fix.Quality == want.Quality &&
                   event.Fix.Satellites == want.Satellites,
               "record " + std::to_string(n) + " reads back differently");
    ++n;
  }
  FUZZ_CHECK(n == intact, std::to_string(n) + " records read, " + std::to_string(intact) + " intact");
  const TCaptureEnd& end = reader.End();
  FUZZ_CHECK(end.GoodRecords == static_cast<int64_t>(n), "the end counts other records");
  FUZZ_CHECK(end.Offset == (n == 0 ? TCaptureHeaderSize : ends[n - 1]), "the reading stopped off a record boundary");
  if (damage == 0 || (damage == 1 && !torn)) FUZZ_CHECK(end.Kind == TCaptureEndKind::NoStop, "a capture cut between records not called complete up to there");
  if (torn) FUZZ_CHECK(end.Kind == TCaptureEndKind::Truncated, "a capture cut inside a record not called truncated");
  std::remove(path.c_str());
  return 0;
}
