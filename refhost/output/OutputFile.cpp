#include "refhost/output/OutputFile.h"

namespace {

constexpr std::streamsize FileBufferBytes = 1 << 16;

}  // namespace

TOutputFile::TOutputFile(const std::string& path, TFlushPolicy policy)
    : Path(path), Buffer(std::make_unique<char[]>(FileBufferBytes)), Out(&File), Policy(policy) {
  File.rdbuf()->pubsetbuf(Buffer.get(), FileBufferBytes);  // before open, or it is ignored
  File.open(path, std::ios::binary | std::ios::trunc);
  if (!File)
    throw EOutputWrite("cannot create " + path +
                       ": check that its folder exists and can be written to");
}

TOutputFile::TOutputFile(std::ostream& stream, TFlushPolicy policy) : Out(&stream), Policy(policy) {}

void TOutputFile::Write(std::string_view entry) {
  Out->write(entry.data(), static_cast<std::streamsize>(entry.size()));
  if (Policy == TFlushPolicy::EveryEntry) Out->flush();
  Check();
}

void TOutputFile::Flush() {
  Out->flush();
  Check();
}

void TOutputFile::Check() {
  if (!*Out)
    throw EOutputWrite("cannot write " + (Path.empty() ? std::string("the output") : Path) +
                       ": check the free space and permissions of its folder");
}
