#include "refhost/output/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr size_t FileBufferBytes = 1 << 16;

#ifdef _WIN32
int OpenFile(const std::string& path, int flags) {
  return ::_open(path.c_str(), flags | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long WriteSome(int fd, const char* data, size_t size) { return ::_write(fd, data, static_cast<unsigned>(size)); }
int SyncFile(int fd) { return ::_commit(fd); }
int CloseFile(int fd) { return ::_close(fd); }
int ProcessId() { return ::_getpid(); }
bool RenameOver(const std::string& from, const std::string& to) {
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
constexpr int CreateNew = _O_WRONLY | _O_CREAT | _O_EXCL, CreateOrTruncate = _O_WRONLY | _O_CREAT | _O_TRUNC,
              WriteOnly = _O_WRONLY;
#else
int OpenFile(const std::string& path, int flags) { return ::open(path.c_str(), flags | O_CLOEXEC, 0666); }
long WriteSome(int fd, const char* data, size_t size) { return ::write(fd, data, size); }
int SyncFile(int fd) { return ::fsync(fd); }
int CloseFile(int fd) { return ::close(fd); }
int ProcessId() { return ::getpid(); }
bool RenameOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }
constexpr int CreateNew = O_WRONLY | O_CREAT | O_EXCL, CreateOrTruncate = O_WRONLY | O_CREAT | O_TRUNC,
              WriteOnly = O_WRONLY;
#endif

std::mutex NotedLock;
std::string CommandName = "orvik-host";
std::atomic<int> Noted{0};

}  // namespace

TFileTarget::TFileTarget(const std::string& path, TOutputMode mode) : Target(path) {
  std::error_code error;
  // Through a link to the file it names: the link stays a link.
  fs::path where = fs::is_symlink(path, error) ? fs::canonical(path, error) : fs::path(path);
  if (error) where = path;
  Target = where.string();
  const fs::file_status status = fs::status(where, error);
  if (fs::is_directory(status))
    throw EOutputWrite("cannot write " + Target + ": it is a folder; give a file name");
  Device = fs::exists(status) && !fs::is_regular_file(status);
  if (Device) {
    Fd = OpenFile(Target, WriteOnly);
  } else if (mode == TOutputMode::InPlace) {
    Fd = OpenFile(Target, CreateOrTruncate);
  } else {
    const fs::path folder = where.parent_path().empty() ? fs::path(".") : where.parent_path();
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100 && Fd < 0; ++attempt) {
      const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
      Temp = (folder / ("." + where.filename().string() + ".tmp-" + std::to_string(ProcessId()) + "-" +
                        std::to_string(serial++) + "-" + std::to_string(tick % 100000)))
                 .string();
      Fd = OpenFile(Temp, CreateNew);
      if (Fd < 0 && errno != EEXIST) break;
    }
    if (Fd < 0) Temp.clear();
  }
  if (Fd < 0)
    throw EOutputWrite("cannot create " + Target + ": " + std::strerror(errno) +
                       "; check that its folder exists and can be written to");
}

TFileTarget::~TFileTarget() {
  CloseQuietly();
  if (!Temp.empty()) std::remove(Temp.c_str());
}

void TFileTarget::CloseQuietly() {
  if (Fd >= 0) CloseFile(Fd);
  Fd = -1;
}

void TFileTarget::Fail(const char* verb, int error) const {
  throw EOutputWrite("cannot " + std::string(verb) + " " + Target + ": " + std::strerror(error) +
                     "; check the free space and permissions of its folder");
}

void TFileTarget::WriteAll(const char* data, size_t size) {
  if (Fd < 0) Fail("write", EBADF);
  while (size > 0) {
    const long n = WriteSome(Fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write", n < 0 ? errno : ENOSPC);
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void TFileTarget::Commit() {
  if (Fd < 0) Fail("write", EBADF);
  // A replacement is synced before its rename, or a crash could leave the
  // new name on an empty file; a file written in place only needs closing.
  if (!Device && !Temp.empty() && SyncFile(Fd) != 0) Fail("write", errno);
  const int fd = Fd;
  Fd = -1;
  if (CloseFile(fd) != 0 && !Device) Fail("close", errno);
  if (Temp.empty()) return;
  if (!RenameOver(Temp, Target)) Fail("replace", errno);
  Temp.clear();
}

TOutputFile::TOutputFile(const std::string& path, TFlushPolicy policy, TOutputMode mode)
    : File(std::make_unique<TFileTarget>(path, mode)), Policy(policy), Mode(mode) {
  Buffer.reserve(FileBufferBytes);
}

TOutputFile::TOutputFile(std::ostream& stream, TFlushPolicy policy) : Stream(&stream), Policy(policy) {}

TOutputFile::~TOutputFile() {
  // A replacement not committed is abandoned (its temporary file goes); a
  // file written in place is closed with what it holds.
  if (!File || Committed || Failed || Mode != TOutputMode::InPlace) return;
  try {
    Commit();
  } catch (const EOutputWrite& e) {
    NoteOutputFailure(e.what());
  }
}

void TOutputFile::Drain() {
  if (Stream) {
    Stream->write(Buffer.data(), static_cast<std::streamsize>(Buffer.size()));
    Stream->flush();
    Buffer.clear();
    if (!*Stream) throw EOutputWrite("cannot write the output: check where it goes");
    return;
  }
  try {
    File->WriteAll(Buffer.data(), Buffer.size());
  } catch (const EOutputWrite&) {
    Buffer.clear();
    Failed = true;
    throw;
  }
  Buffer.clear();
}

void TOutputFile::Write(std::string_view entry) {
  // A whole document (a map, the report) goes out as it is, not copied.
  if (File && entry.size() >= FileBufferBytes) {
    Drain();
    try {
      File->WriteAll(entry.data(), entry.size());
    } catch (const EOutputWrite&) {
      Failed = true;
      throw;
    }
    return;
  }
  Buffer.append(entry);
  if (Policy == TFlushPolicy::EveryEntry || Buffer.size() >= FileBufferBytes) Drain();
}

void TOutputFile::Flush() { Drain(); }

void TOutputFile::Commit() {
  Drain();
  Failed = true;
  if (File) File->Commit();
  Failed = false;
  Committed = true;
}

void CheckOutputPath(const std::string& path) { TFileTarget probe(path, TOutputMode::Replace); }

void NoteOutputFailure(const std::string& message) {
  std::lock_guard<std::mutex> guard(NotedLock);
  std::fprintf(stderr, "%s: %s\n", CommandName.c_str(), message.c_str());
  std::fflush(stderr);
  ++Noted;
}

int OutputFailuresNoted() { return Noted.load(); }

void SetOutputCommandName(const std::string& name) {
  std::lock_guard<std::mutex> guard(NotedLock);
  CommandName = "orvik-host " + name;
}
