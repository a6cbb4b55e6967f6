// The session as KML for globe viewers: the route as a line, the records
// with a level as points coloured by the usual drive-test bands (see
// LevelBandOf), one folder per band named after it, and the signalling
// messages as points named after the message, the drive's events (a folder
// "Events", one point per event with a position, named after its kind) and
// the cell sites of the cell file given (a folder "Sites"). The document's
// description carries the legend of the bands.
//
// The file is written whole when the session finishes.
// Threads: one writer is used from one thread at a time.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/MapValues.h"

class TCellSites;

class TKmlWriter : public TRecordSink {
 public:
  // Checks that `path` can be created; throws EOutputWrite when it cannot.
  // `sites` (borrowed, may be null) go to the "Sites" folder.
  explicit TKmlWriter(std::string path, const TCellSites* sites = nullptr);

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnEvent(const TDriveEvent& event) override;
  // Writes the file; throws EOutputWrite when it cannot.
  void OnFinish(const TSessionCounters& counters) override;

 private:
  struct TPoint {
    double Longitude, Latitude;
    TDays Time;
    std::string Name, Description;
    std::string Style;  // "" for the folder's own
  };

  std::string Path;
  int32_t UtcOffsetMinutes = 0;
  std::vector<std::pair<double, double>> Route;
  std::array<std::vector<TPoint>, LevelBandCount> Bands;
  std::vector<TPoint> Messages;
  std::vector<TPoint> Events;
  const TCellSites* Sites;
};
