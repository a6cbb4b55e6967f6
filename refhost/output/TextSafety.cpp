#include "refhost/output/TextSafety.h"

#include <cstdint>

namespace {

constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at the start of `s` (1..4), or 0
// when its first byte begins none (Unicode 15, table 3-7).
size_t SequenceLength(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t c = b(0);
  if (c < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;        // no overlong forms
    else if (c == 0xED) hi = 0x9F;   // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    else if (c == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
  for (size_t i = 2; i < n; ++i)
    if ((b(i) & 0xC0) != 0x80) return 0;
  return n;
}

// Calls `keep(sequence)` for each well-formed sequence of `text` and for a
// U+FFFD in place of each byte that begins none.
template <class TKeep>
void EachCharacter(std::string_view text, TKeep keep) {
  while (!text.empty()) {
    const size_t n = SequenceLength(text);
    keep(n ? text.substr(0, n) : Replacement);
    text.remove_prefix(n ? n : 1);
  }
}

bool IsControl(std::string_view c) {
  return c.size() == 1 && (static_cast<uint8_t>(c[0]) < 0x20 || c[0] == 0x7F);
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  EachCharacter(text, [&](std::string_view c) { out += c; });
  return out;
}

std::string HtmlScriptJson(std::string_view json) {
  std::string out;
  out.reserve(json.size() + json.size() / 16);
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '<') out += "\\u003c";
    else if (c == '>') out += "\\u003e";
    else if (c == '&') out += "\\u0026";
    else if (c == '\xE2' && json.substr(i + 1, 2) == "\x80\xA8") out += "\\u2028", i += 2;
    else if (c == '\xE2' && json.substr(i + 1, 2) == "\x80\xA9") out += "\\u2029", i += 2;
    else out += c;
  }
  return out;
}

void AppendCsvCell(std::string& row, std::string_view text) {
  std::string cell;
  cell.reserve(text.size() + 1);
  EachCharacter(text, [&](std::string_view c) {
    if (!IsControl(c) || c == "\t" || c == "\r" || c == "\n") cell += c;
  });
  const bool formula = !cell.empty() && std::string_view("=+-@\t\r").find(cell[0]) != std::string_view::npos;
  if (!formula && cell.find_first_of(",\"\r\n") == std::string::npos) {
    row += cell;
    return;
  }
  row += '"';
  if (formula) row += '\'';
  for (char c : cell) {
    if (c == '"') row += '"';
    row += c;
  }
  row += '"';
}

std::string XmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  EachCharacter(text, [&](std::string_view c) {
    if (IsControl(c) && c != "\t" && c != "\n" && c != "\r" && c != "\x7F") return;
    if (c == "\xEF\xBF\xBE" || c == "\xEF\xBF\xBF") return;  // U+FFFE, U+FFFF
    out += c;
  });
  return out;
}
