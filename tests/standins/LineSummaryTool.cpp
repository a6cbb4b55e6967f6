// Writes the decoded summary of an annotated line file:
//   standins_line_summary lines.txt lines.expected
#include <fstream>
#include <iostream>
#include <sstream>

#include "StandinsSupport.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: standins_line_summary <lines.txt> <summary output>\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << '\n';
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << standins_test::SummariseLineFile(text.str());
  out.close();
  if (!out) {
    std::cerr << "cannot write " << argv[2] << '\n';
    return 1;
  }
  return 0;
}
