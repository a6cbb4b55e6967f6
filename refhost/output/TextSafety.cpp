#include "refhost/output/TextSafety.h"

#include <cstdint>

namespace {

constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD

// The character at the start of `s` (1..4 bytes), or, when `s` does not
// start with a well-formed one (Unicode 15, table 3-7), the length of its
// maximal ill-formed prefix as a negative number: each such prefix becomes one
// U+FFFD, as browsers and the JSON library count them.
int Sequence(std::string_view s) {
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
    return -1;
  }
  if (s.size() < 2 || b(1) < lo || b(1) > hi) return -1;
  for (size_t i = 2; i < n; ++i)
    if (i >= s.size() || (b(i) & 0xC0) != 0x80) return -static_cast<int>(i);
  return static_cast<int>(n);
}

// Calls `keep(character)` for each well-formed character of `text` and
// with U+FFFD for each maximal ill-formed prefix.
template <class TKeep>
void EachCharacter(std::string_view text, TKeep keep) {
  while (!text.empty()) {
    const int n = Sequence(text);
    keep(n > 0 ? text.substr(0, static_cast<size_t>(n)) : Replacement);
    text.remove_prefix(static_cast<size_t>(n > 0 ? n : -n));
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
