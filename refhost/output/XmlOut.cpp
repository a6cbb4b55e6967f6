#include "refhost/output/XmlOut.h"

#include <charconv>
#include <string_view>

#include <libxml/xmlwriter.h>

#include "refhost/output/OutputFile.h"
#include "refhost/output/TextSafety.h"

namespace {
const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
}  // namespace

TXmlOut::TXmlOut(const std::string& path) : Path(path) {
  // The document is built in memory and replaces the file whole at Finish().
  Buffer = xmlBufferCreate();
  if (Buffer) Writer = xmlNewTextWriterMemory(Buffer, 0);
  if (!Writer) {
    if (Buffer) xmlBufferFree(Buffer);
    throw EOutputWrite("cannot write " + path + ": out of memory");
  }
  xmlTextWriterSetIndent(Writer, 1);
  xmlTextWriterSetIndentString(Writer, X("  "));
  Check(xmlTextWriterStartDocument(Writer, nullptr, "UTF-8", nullptr), "start");
}

TXmlOut::~TXmlOut() {
  if (Writer) xmlFreeTextWriter(Writer);
  xmlBufferFree(Buffer);
}

void TXmlOut::Check(int result, const char* what) {
  if (result < 0)
    throw EOutputWrite("writing " + Path + " failed (" + what + "): check the free space and permissions");
}

void TXmlOut::Start(const char* element) { Check(xmlTextWriterStartElement(Writer, X(element)), "element"); }

// libxml2 takes C strings: XmlText removes every NUL along with the other
// characters XML cannot hold, so none cuts the text.
void TXmlOut::Attribute(const char* name, const std::string& value) {
  Check(xmlTextWriterWriteAttribute(Writer, X(name), X(XmlText(value).c_str())), "attribute");
}

void TXmlOut::Text(const std::string& text) {
  Check(xmlTextWriterWriteString(Writer, X(XmlText(text).c_str())), "text");
}

void TXmlOut::Element(const char* element, const std::string& text) {
  Check(xmlTextWriterWriteElement(Writer, X(element), X(XmlText(text).c_str())), "element");
}

void TXmlOut::End() { Check(xmlTextWriterEndElement(Writer), "end of element"); }

void TXmlOut::Finish() {
  Check(xmlTextWriterEndDocument(Writer), "end of document");
  Check(xmlTextWriterFlush(Writer), "flush");
  xmlFreeTextWriter(Writer);
  Writer = nullptr;
  TOutputFile out(Path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(std::string_view(reinterpret_cast<const char*>(xmlBufferContent(Buffer)),
                             static_cast<size_t>(xmlBufferLength(Buffer))));
  out.Commit();
}

std::string XmlDecimal(double value, int decimals) {
  // Room for any double in fixed notation (309 digits before the point).
  char text[400];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
  return std::string(text, end);
}

std::string XmlDegrees(double degrees) { return XmlDecimal(degrees, 7); }
