// Text from outside (port and file paths, GPS sources, reasons a line was
// lost, capture contents) made safe for each output format, one routine per
// format, used by every writer of that format. Each routine replaces bytes
// that are not UTF-8 with U+FFFD, removes or escapes control characters as
// its format allows, and keeps everything else: nothing is cut, and a NUL
// byte never ends the text early.
//
// Pure functions; any thread. The results are the caller's; they throw only
// std::bad_alloc.
#pragma once

#include <string>
#include <string_view>

// `text` as well-formed UTF-8: every byte that does not begin a complete,
// shortest-form sequence of a Unicode scalar value becomes U+FFFD.
std::string ValidUtf8(std::string_view text);

// JSON string: a document as compact JSON text. The library escapes quotes,
// backslashes and control characters; invalid UTF-8 becomes U+FFFD. Works
// for nlohmann::json and nlohmann::ordered_json alike.
template <class TJsonDocument>
std::string JsonText(const TJsonDocument& document) {
  return document.dump(-1, ' ', false, TJsonDocument::error_handler_t::replace);
}

// HTML data: JSON text (from JsonText) made safe to embed in a <script>
// block. '<', '>' and '&' become \u003c, \u003e and \u0026, so no "</script>"
// or "<!--" can end or bend the block; U+2028 and U+2029 become \u2028 and
// \u2029 for older script parsers. Outside strings JSON holds none of these,
// so the document's meaning is unchanged.
std::string HtmlScriptJson(std::string_view json);

// CSV cell (RFC 4180), appended to `row`: control characters other than tab,
// CR and LF are removed; a cell that starts with '=', '+', '-', '@', tab or
// CR, which a spreadsheet would take for a formula, gets a leading single
// quote (the OWASP convention) and is quoted; any cell holding a comma, a
// quote, CR or LF is quoted with inner quotes doubled. Only for text: numbers
// are written as numbers by the caller.
void AppendCsvCell(std::string& row, std::string_view text);

// XML text or attribute value (XML 1.0): control characters other than tab,
// LF and CR, and U+FFFE/U+FFFF, which XML cannot hold even as references,
// are removed. Markup characters are left to the XML writer to escape.
std::string XmlText(std::string_view text);
