// Bytes as hex pairs ("5C 44"), so a failing comparison shows every byte.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

inline std::string ToHex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!hex.empty()) hex.push_back(' ');
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  return hex;
}

inline std::string FromHex(const std::string& hex) {
  std::istringstream in(hex);
  std::string bytes;
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<char>(std::strtoul(pair.c_str(), nullptr, 16)));
  return bytes;
}
