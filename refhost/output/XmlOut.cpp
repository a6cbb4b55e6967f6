#include "refhost/output/XmlOut.h"

#include <cstdio>

#include <libxml/xmlwriter.h>

#include "refhost/output/OutputFile.h"

namespace {
const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
}  // namespace

TXmlOut::TXmlOut(const std::string& path) : Path(path) {
  Writer = xmlNewTextWriterFilename(path.c_str(), 0);
  if (!Writer)
    throw EOutputWrite("cannot create " + path + ": check that the folder exists and is writable");
  xmlTextWriterSetIndent(Writer, 1);
  xmlTextWriterSetIndentString(Writer, X("  "));
  Check(xmlTextWriterStartDocument(Writer, nullptr, "UTF-8", nullptr), "start");
}

TXmlOut::~TXmlOut() {
  if (Writer) xmlFreeTextWriter(Writer);
}

void TXmlOut::Check(int result, const char* what) {
  if (result < 0)
    throw EOutputWrite("writing " + Path + " failed (" + what + "): check the free space and permissions");
}

void TXmlOut::Start(const char* element) { Check(xmlTextWriterStartElement(Writer, X(element)), "element"); }

void TXmlOut::Attribute(const char* name, const std::string& value) {
  Check(xmlTextWriterWriteAttribute(Writer, X(name), X(value.c_str())), "attribute");
}

void TXmlOut::Text(const std::string& text) { Check(xmlTextWriterWriteString(Writer, X(text.c_str())), "text"); }

void TXmlOut::Element(const char* element, const std::string& text) {
  Check(xmlTextWriterWriteElement(Writer, X(element), X(text.c_str())), "element");
}

void TXmlOut::End() { Check(xmlTextWriterEndElement(Writer), "end of element"); }

void TXmlOut::Finish() {
  Check(xmlTextWriterEndDocument(Writer), "end of document");
  Check(xmlTextWriterFlush(Writer), "flush");
  // Freeing closes the file; a close that fails shows only here.
  xmlFreeTextWriter(Writer);
  Writer = nullptr;
}

std::string XmlDegrees(double degrees) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", degrees);
  return text;
}
