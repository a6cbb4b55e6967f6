#include "refhost/capture/CaptureWriter.h"

#include <cerrno>
#include <cstring>
#include <random>

namespace {

// Encoded records are handed to the file in pieces of about this size.
constexpr size_t PendingLimit = 256 * 1024;

}  // namespace

TCaptureWriter::TCaptureWriter(const std::string& path, uint64_t salt,
                               std::chrono::milliseconds flushEvery,
                               std::function<void(const std::string&)> onFailure)
    : Path(path), Salt(salt), FlushEvery(flushEvery), OnFailure(std::move(onFailure)) {
  File = std::fopen(path.c_str(), "wb");
  if (File == nullptr)
    throw ECaptureWrite("cannot create the capture " + path + ": " + std::strerror(errno) +
                        "; check that its folder exists and is writable");
  Pending = EncodeCaptureHeader(salt);
  if (FlushEvery.count() > 0) FlushThread = std::thread([this] { Flusher(); });
}

TCaptureWriter::~TCaptureWriter() { Close(); }

std::string TCaptureWriter::Close() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Closing = true;
  }
  Wake.notify_all();
  if (FlushThread.joinable()) FlushThread.join();
  std::lock_guard<std::mutex> guard(Lock);
  if (File == nullptr) return Failed;
  FlushLocked();
  errno = 0;
  if (std::fclose(File) != 0 && Failed.empty()) FailLocked("at its close");
  File = nullptr;
  return Failed;
}

void TCaptureWriter::FailLocked(const char* when) {
  const std::string at = *when ? std::string(" ") + when : std::string();
  Failed = "writing the capture " + Path + " failed" + at + ": " + std::strerror(errno) +
           "; recording stopped there, the capture stays readable up to that point";
  if (OnFailure) OnFailure(Failed);
}

void TCaptureWriter::Flusher() {
  std::unique_lock<std::mutex> guard(Lock);
  while (!Closing) {
    Wake.wait_for(guard, FlushEvery);
    FlushLocked();
  }
}

void TCaptureWriter::FlushLocked() {
  if (!Failed.empty() || File == nullptr) return;
  if (!Pending.empty()) {
    if (std::fwrite(Pending.data(), 1, Pending.size(), File) != Pending.size()) {
      FailLocked("");
      return;
    }
    Written += Pending.size();
    Pending.clear();
  }
  if (std::fflush(File) != 0) FailLocked("");
}

void TCaptureWriter::Append(TCaptureRecordType type, const uint8_t* payload, size_t size) {
  std::lock_guard<std::mutex> guard(Lock);
  if (Stopped || !Failed.empty() || File == nullptr) return;
  AppendCaptureRecord(Pending, Salt, type, payload, size);
  // Large bursts go out without waiting for the flusher; stdio buffers them.
  if (Pending.size() >= PendingLimit) {
    if (std::fwrite(Pending.data(), 1, Pending.size(), File) != Pending.size()) {
      FailLocked("");
      return;
    }
    Written += Pending.size();
    Pending.clear();
  }
}

void TCaptureWriter::OnSettings(const TSessionSettings& settings) {
  const std::vector<uint8_t> p = EncodeSettings(settings);
  Append(TCaptureRecordType::Settings, p.data(), p.size());
}

void TCaptureWriter::OnChunk(const TChunk& chunk) {
  LastTime = chunk.HostTime;
  Scratch.clear();
  PutF64(Scratch, chunk.HostTime);
  Scratch.insert(Scratch.end(), chunk.Bytes.begin(), chunk.Bytes.end());
  Append(TCaptureRecordType::Chunk, Scratch.data(), Scratch.size());
}

void TCaptureWriter::OnFix(const TGpsFix& fix) {
  LastTime = fix.Time;
  const std::vector<uint8_t> p = EncodeFix(fix);
  Append(TCaptureRecordType::Fix, p.data(), p.size());
}

void TCaptureWriter::OnLineLost(TDays when, const std::string& why) {
  LastTime = when;
  Scratch.clear();
  PutF64(Scratch, when);
  Scratch.insert(Scratch.end(), why.begin(), why.end());
  Append(TCaptureRecordType::LineLost, Scratch.data(), Scratch.size());
}

void TCaptureWriter::OnLineRegained(TDays when) {
  LastTime = when;
  Scratch.clear();
  PutF64(Scratch, when);
  Append(TCaptureRecordType::LineRegained, Scratch.data(), Scratch.size());
}

void TCaptureWriter::OnStop() {
  Scratch.clear();
  PutF64(Scratch, LastTime);
  Append(TCaptureRecordType::Stop, Scratch.data(), Scratch.size());
  std::lock_guard<std::mutex> guard(Lock);
  Stopped = true;
  FlushLocked();
}

std::string TCaptureWriter::Failure() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Failed;
}

uint64_t TCaptureWriter::BytesWritten() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Written;
}

uint64_t NewCaptureSalt() {
  std::random_device device;
  return (uint64_t{device()} << 32) ^ device() ^
         static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

uint64_t CaptureSaltFromSeed(uint64_t seed) {
  // splitmix64: a seed of 0 or 1 still gives a salt with bits everywhere.
  uint64_t z = seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E019ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
