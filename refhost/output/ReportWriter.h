// The drive report: one self-contained HTML page (no network needed) with
// the route coloured by received level with a legend, a scale bar and the
// call events; level and quality over time with the calls shaded; the
// signalling messages by type; and the session's summary (time span,
// distance, records, calls set up and dropped, gaps, time without GPS).
// The charting library (uPlot) is inlined with its licence.
//
// The page is written whole when the session finishes; until then the
// writer keeps what it needs of each record (a few numbers).
// Threads: one writer is used from one thread at a time.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"

class TReportWriter : public TRecordSink {
 public:
  // Checks that `path` can be created; throws EOutputWrite when it cannot.
  explicit TReportWriter(std::string path);

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnGap(const TSessionGap& gap) override;
  // Writes the page; throws EOutputWrite when it cannot.
  void OnFinish(const TSessionCounters& counters) override;

  // The page for what the writer has seen, with `counters` as the summary's.
  std::string Page(const TSessionCounters& counters) const;

 private:
  struct TSample {
    TDays Time;
    double Longitude, Latitude;  // -9999 when none
    int Level = 0, Quality = -1;  // Level 0: no report
    TCallStateView CallState;
    uint16_t MessageId;
  };

  std::string Path;
  TSessionSettings Settings;
  std::vector<TGpsFix> Fixes;
  std::vector<TSample> Samples;
  std::vector<TSessionGap> Gaps;
};
