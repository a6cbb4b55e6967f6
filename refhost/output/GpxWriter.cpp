#include "refhost/output/GpxWriter.h"

#include <cmath>
#include <cstdio>

#include "refhost/output/MapValues.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/XmlOut.h"

namespace {

constexpr double SegmentBreakDays = 10.0 / 86400.0;

// GPX's fixType for a GGA quality; empty when GGA's value says nothing GPX knows.
const char* FixType(int quality) {
  switch (quality) {
    case 2: return "dgps";
    case 3: return "pps";
    default: return nullptr;
  }
}

void WritePoint(TXmlOut& xml, const TGpsFix& fix, int32_t utcOffsetMinutes) {
  xml.Start("trkpt");
  xml.Attribute("lat", XmlDegrees(fix.Latitude));
  xml.Attribute("lon", XmlDegrees(fix.Longitude));
  // Child order is the schema's: ele, time, ..., fix, sat.
  if (std::isfinite(fix.AltitudeM)) {
    char ele[32];
    std::snprintf(ele, sizeof ele, "%.1f", fix.AltitudeM);
    xml.Element("ele", ele);
  }
  xml.Element("time", FormatUtcTime(fix.Time, utcOffsetMinutes));
  if (const char* type = FixType(fix.Quality)) xml.Element("fix", type);
  if (fix.Satellites >= 0) xml.Element("sat", std::to_string(fix.Satellites));
  xml.End();
}

// The schema allows latitudes -90..90 and longitudes -180..<180.
bool Valid(const TGpsFix& fix) {
  return std::isfinite(fix.Latitude) && std::isfinite(fix.Longitude) && std::fabs(fix.Latitude) <= 90 &&
         fix.Longitude >= -180 && fix.Longitude < 180;
}

}  // namespace

TGpxWriter::TGpxWriter(std::string path) : Path(std::move(path)) { CheckOutputPath(Path); }

void TGpxWriter::OnStart(const TSessionSettings& settings) { Settings = settings; }

void TGpxWriter::OnFix(const TGpsFix& fix) {
  if (Valid(fix)) Fixes.push_back(fix);
}

void TGpxWriter::OnFinish(const TSessionCounters&) {
  TXmlOut xml(Path);
  xml.Start("gpx");
  xml.Attribute("version", "1.1");
  xml.Attribute("creator", "orvik-host");
  xml.Attribute("xmlns", "http://www.topografix.com/GPX/1/1");
  xml.Attribute("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
  xml.Attribute("xsi:schemaLocation", "http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd");
  xml.Start("metadata");
  xml.Element("name", "Drive");
  xml.Element("desc", "Handset: " + Settings.Source + "; GPS: " + Settings.GpsSource);
  if (!Fixes.empty()) xml.Element("time", FormatUtcTime(Fixes.front().Time, Settings.UtcOffsetMinutes));
  xml.End();
  xml.Start("trk");
  xml.Element("name", "Drive");
  xml.Element("src", Settings.GpsSource.empty() ? "GPS" : Settings.GpsSource);
  xml.Start("trkseg");
  for (size_t i = 0; i < Fixes.size(); ++i) {
    if (i > 0 && Fixes[i].Time - Fixes[i - 1].Time > SegmentBreakDays) {
      xml.End();
      xml.Start("trkseg");
    }
    WritePoint(xml, Fixes[i], Settings.UtcOffsetMinutes);
  }
  xml.Finish();
}
