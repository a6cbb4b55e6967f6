#include "platform/TextLogFile.h"

#include <cerrno>
#include <ios>
#include <system_error>

namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  const std::error_code code = error != 0 ? std::error_code(error, std::generic_category())
                                          : std::make_error_code(std::io_errc::stream);
  throw std::ios_base::failure(what, code);
}

}  // namespace

TTextLogFile::~TTextLogFile() {
  if (FFile) std::fclose(FFile);
}

void TTextLogFile::Create(const std::string& name) {
  Close();
  errno = 0;
  // Binary: CR LF is written by us, and no byte is translated.
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (!file) Fail("cannot create log file \"" + name + "\"", errno);
  FFile = file;
}

void TTextLogFile::WriteLine(std::string_view line) {
  if (!FFile) Fail("no log file is open", 0);
  errno = 0;
  const bool written = (line.empty() || std::fwrite(line.data(), 1, line.size(), FFile) == line.size()) &&
                       std::fwrite("\r\n", 1, 2, FFile) == 2;
  if (!written) Fail("cannot write to the log file", errno);
}

void TTextLogFile::Close() {
  if (!FFile) return;
  std::FILE* file = FFile;
  FFile = nullptr;
  errno = 0;
  if (std::fclose(file) != 0) Fail("cannot close the log file", errno);
}
