// Writes the golden session transcript (SessionTranscript.h) to a file.
#include <fstream>
#include <iostream>

#include "tests/refhost_sim/SessionTranscript.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: refhost_sim_transcript OUTPUT\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << sim_test::GoldenTranscript();
  return out ? 0 : 1;
}
