#include "refhost/output/KmlWriter.h"

#include <cmath>
#include <cstdio>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/cells/CellSites.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/RecordValues.h"
#include "refhost/output/XmlOut.h"

namespace {

// KML colours are aabbggrr.
std::string KmlColour(const TLevelBandStyle& s) {
  char text[9];
  std::snprintf(text, sizeof text, "ff%02x%02x%02x", s.Blue, s.Green, s.Red);
  return text;
}

std::string Coordinates(double lon, double lat) { return XmlDegrees(lon) + "," + XmlDegrees(lat) + ",0"; }

void WriteIconStyle(TXmlOut& xml, const std::string& id, const std::string& colour, const char* scale) {
  xml.Start("Style");
  xml.Attribute("id", id);
  xml.Start("IconStyle");
  xml.Element("color", colour);
  xml.Element("scale", scale);
  xml.Start("Icon");
  xml.Element("href", "http://maps.google.com/mapfiles/kml/shapes/shaded_dot.png");
  xml.End();
  xml.End();
  xml.Start("LabelStyle");
  xml.Element("scale", "0");
  xml.End();
  xml.End();
}

std::string Legend() {
  std::string html = "<table><tr><th colspan=\"2\">Received level (RXLEV - 110)</th></tr>";
  for (int b = 0; b < LevelBandCount; ++b) {
    const TLevelBandStyle& s = LevelBandStyle(TLevelBand(b));
    char swatch[8];
    std::snprintf(swatch, sizeof swatch, "#%02x%02x%02x", s.Red, s.Green, s.Blue);
    html += "<tr><td style=\"background:" + std::string(swatch) + "\">&nbsp;&nbsp;&nbsp;</td><td>" + s.Label +
            "</td></tr>";
  }
  return html + "</table>";
}

std::string Describe(const THostRecord& r, int32_t utcOffsetMinutes) {
  std::string text = FormatIsoTime(r.TimeStamp1, utcOffsetMinutes) + ", record " + std::to_string(r.Index) +
                     ", call " + CallStateName(r.CallState);
  if (const auto level = ServingLevelDbm(r)) text += ", level " + std::to_string(*level) + " dBm";
  if (const auto qual = ServingQuality(r)) text += ", RXQUAL " + std::to_string(*qual);
  if (const auto arfcn = ServingArfcn(r)) text += ", ARFCN " + std::to_string(*arfcn);
  return text;
}

std::string CellText(const TCellKey& k) {
  return std::to_string(k.Mcc) + "-" + std::to_string(k.Mnc) + "-" + std::to_string(k.Lac) + "-" +
         std::to_string(k.CellId);
}

// Colours of the event marks (aabbggrr), as the report draws them.
struct TEventStyle {
  TEventKind Kind;
  const char* Colour;
};
constexpr TEventStyle EventStyles[] = {
    {TEventKind::CallSetup, "ffbf5f1f"},         {TEventKind::CallConnect, "ffbf5f1f"},
    {TEventKind::CallEnd, "ff333333"},           {TEventKind::CallDrop, "ffaa248e"},
    {TEventKind::CallSetupFailure, "ff1e54b3"},  {TEventKind::HandoverSuccess, "ff8f8300"},
    {TEventKind::HandoverFailure, "ff5714ad"},
};

std::string EventStyleId(TEventKind kind) {
  for (const TEventStyle& s : EventStyles)
    if (s.Kind == kind) return std::string("event_") + EventKindName(kind);
  return "event";
}

std::string DescribeEvent(const TDriveEvent& e, int32_t utcOffsetMinutes) {
  std::string text = FormatIsoTime(e.Time, utcOffsetMinutes) + ", " + EventKindName(e.Kind);
  if (e.Direction != TCallDirection::None) text += std::string(", ") + CallDirectionName(e.Direction);
  if (e.Cell.Key.Valid) text += ", cell " + CellText(e.Cell.Key);
  if (e.Cell.Arfcn != 0) text += ", ARFCN " + std::to_string(e.Cell.Arfcn);
  if (e.TargetArfcn != 0) text += ", target ARFCN " + std::to_string(e.TargetArfcn);
  if (!e.Cause.empty()) text += ", " + e.Cause;
  if (e.FirstRecord >= 0)
    text += ", records " + std::to_string(e.FirstRecord) + " to " + std::to_string(e.LastRecord);
  return text;
}

}  // namespace

TKmlWriter::TKmlWriter(std::string path, const TCellSites* sites) : Path(std::move(path)), Sites(sites) {
  CheckOutputPath(Path);
}

void TKmlWriter::OnEvent(const TDriveEvent& e) {
  if (e.Longitude == -9999.0 || e.Latitude == -9999.0) return;
  Events.push_back({e.Longitude, e.Latitude, e.Time, EventKindName(e.Kind), DescribeEvent(e, UtcOffsetMinutes),
                    EventStyleId(e.Kind)});
}

void TKmlWriter::OnStart(const TSessionSettings& settings) { UtcOffsetMinutes = settings.UtcOffsetMinutes; }

void TKmlWriter::OnFix(const TGpsFix& fix) { Route.emplace_back(fix.Longitude, fix.Latitude); }

void TKmlWriter::OnRecord(const THostRecord& record) {
  if (!HasPosition(record)) return;
  TPoint point{record.Longitude, record.Latitude, record.TimeStamp1, "", Describe(record, UtcOffsetMinutes), ""};
  if (record.MessageId != 0) {
    point.Name = LookupGsmMessage(record.MessageId).Name;
    Messages.push_back(std::move(point));
  } else if (const auto level = ServingLevelDbm(record)) {
    Bands[size_t(LevelBandOf(*level))].push_back(std::move(point));
  }
}

void TKmlWriter::OnFinish(const TSessionCounters&) {
  TXmlOut xml(Path);
  xml.Start("kml");
  xml.Attribute("xmlns", "http://www.opengis.net/kml/2.2");
  xml.Start("Document");
  xml.Element("name", "Drive");
  xml.Element("description", Legend());

  xml.Start("Style");
  xml.Attribute("id", "route");
  xml.Start("LineStyle");
  xml.Element("color", "ff808080");
  xml.Element("width", "3");
  xml.End();
  xml.End();
  for (int b = 0; b < LevelBandCount; ++b) {
    const TLevelBandStyle& s = LevelBandStyle(TLevelBand(b));
    WriteIconStyle(xml, s.Id, KmlColour(s), "0.6");
  }
  WriteIconStyle(xml, "message", "ffffffff", "0.8");
  for (const TEventStyle& s : EventStyles) WriteIconStyle(xml, EventStyleId(s.Kind), s.Colour, "1.1");
  WriteIconStyle(xml, "event", "ffb0b0b0", "0.9");
  WriteIconStyle(xml, "site", "ff202020", "1.2");

  if (Route.size() >= 2) {
    xml.Start("Placemark");
    xml.Element("name", "Route");
    xml.Element("styleUrl", "#route");
    xml.Start("LineString");
    xml.Element("tessellate", "1");
    std::string coordinates;
    for (const auto& [lon, lat] : Route) coordinates += Coordinates(lon, lat) + " ";
    xml.Element("coordinates", coordinates);
    xml.End();
    xml.End();
  }

  auto writeFolder = [&](const std::string& name, const std::string& style, const std::vector<TPoint>& points) {
    xml.Start("Folder");
    xml.Element("name", name);
    for (const TPoint& p : points) {
      xml.Start("Placemark");
      if (!p.Name.empty()) xml.Element("name", p.Name);
      xml.Element("description", p.Description);
      xml.Element("styleUrl", "#" + (p.Style.empty() ? style : p.Style));
      if (p.Time != 0) {
        xml.Start("TimeStamp");
        xml.Element("when", FormatUtcTime(p.Time, UtcOffsetMinutes));
        xml.End();
      }
      xml.Start("Point");
      xml.Element("coordinates", Coordinates(p.Longitude, p.Latitude));
      xml.End();
      xml.End();
    }
    xml.End();
  };
  for (int b = 0; b < LevelBandCount; ++b) {
    const TLevelBandStyle& s = LevelBandStyle(TLevelBand(b));
    writeFolder(std::string("Level ") + s.Label, s.Id, Bands[size_t(b)]);
  }
  writeFolder("Signalling", "message", Messages);
  writeFolder("Events", "event", Events);
  if (Sites) {
    std::vector<TPoint> sites;
    for (const TCellSite& site : Sites->All())
      sites.push_back({site.Longitude, site.Latitude, 0, "CI " + std::to_string(site.Key.CellId),
                       site.Radio + " cell " + CellText(site.Key) + ", range " + std::to_string(std::lround(site.RangeM)) + " m",
                       ""});
    writeFolder("Sites", "site", sites);
  }
  xml.Finish();
}
