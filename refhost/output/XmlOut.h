// A thin owner of libxml2's text writer for the GPX and KML writers: it
// escapes text and attributes, and turns every failure into EOutputWrite.
//
// Threads: one instance belongs to one thread at a time.
#pragma once

#include <string>

struct _xmlTextWriter;
struct _xmlBuffer;

class TXmlOut {
 public:
  // Starts the document for `path` (UTF-8) in memory; the file is not
  // touched before Finish().
  explicit TXmlOut(const std::string& path);
  // Frees the writer; a document not finished leaves the file as it was.
  ~TXmlOut();
  TXmlOut(const TXmlOut&) = delete;
  TXmlOut& operator=(const TXmlOut&) = delete;

  // Each throws EOutputWrite when the writer reports a failure.
  void Start(const char* element);
  void Attribute(const char* name, const std::string& value);
  void Text(const std::string& text);
  void Element(const char* element, const std::string& text);  // <e>text</e>
  void End();
  // Closes every open element and replaces the file with the document
  // (OutputFile.h, Replace); throws EOutputWrite.
  void Finish();

 private:
  void Check(int result, const char* what);

  std::string Path;
  _xmlBuffer* Buffer = nullptr;
  _xmlTextWriter* Writer = nullptr;
};

// "%.7f" of a coordinate: xsd:decimal, no exponent, about a centimetre.
std::string XmlDegrees(double degrees);
