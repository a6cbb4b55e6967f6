#include "refhost/output/OutputFile.h"

TOutputFile::TOutputFile(const std::string& path) : Path(path), File(path, std::ios::binary | std::ios::trunc), Out(&File) {
  if (!File)
    throw EOutputWrite("cannot create " + path +
                       ": check that its folder exists and can be written to");
}

TOutputFile::TOutputFile(std::ostream& stream) : Out(&stream) {}

void TOutputFile::Commit() {
  Out->flush();
  if (!*Out)
    throw EOutputWrite("cannot write " + (Path.empty() ? std::string("the output") : Path) +
                       ": check the free space and permissions of its folder");
}
