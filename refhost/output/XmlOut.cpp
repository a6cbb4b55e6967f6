#include "refhost/output/XmlOut.h"

#include <cstdio>
#include <string_view>

#include <libxml/xmlwriter.h>

#include "refhost/output/OutputFile.h"

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
  xmlFreeTextWriter(Writer);
  Writer = nullptr;
  TOutputFile out(Path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(std::string_view(reinterpret_cast<const char*>(xmlBufferContent(Buffer)),
                             static_cast<size_t>(xmlBufferLength(Buffer))));
  out.Commit();
}

std::string XmlDegrees(double degrees) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", degrees);
  return text;
}
