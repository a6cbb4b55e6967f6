// The drive report: one self-contained HTML page (no network needed). The
// page draws from a list of entries shaped as the session's JSON Lines
// objects (session, fix, record, gap, event, summary, and "sites" when a
// cell file was given); this writer only collects them, with the fields the
// page uses, and embeds them. The same script draws the live view, which
// feeds it the entries as they come (window.OrvikReport, report.html).
//
// The page shows the KPIs of the analysis, the route coloured by level,
// quality or serving cell with the events and the cell sites, level and
// quality over time and as distributions, the cell table, the signalling
// messages by type and a summary. The charting library (uPlot) is inlined
// with its licence.
//
// The page is written whole when the session finishes; until then the
// writer keeps the entries (a hundred bytes or so per record).
// Threads: one writer is used from one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "refhost/core/SessionTypes.h"

class TCellSites;

class TReportWriter : public TRecordSink {
 public:
  // Checks that `path` can be created; throws EOutputWrite when it cannot.
  // `sites` (borrowed, may be null) are drawn with serving lines.
  explicit TReportWriter(std::string path, const TCellSites* sites = nullptr);

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnGap(const TSessionGap& gap) override;
  void OnEvent(const TDriveEvent& event) override;
  void OnAnalysis(const TSessionAnalysisResult& result) override;
  // Writes the page; throws EOutputWrite when it cannot.
  void OnFinish(const TSessionCounters& counters) override;

  // The page for what the writer has seen, with `counters` as the summary's.
  std::string Page(const TSessionCounters& counters) const;

 private:
  std::string Path;
  const TCellSites* Sites;
  int32_t UtcOffsetMinutes = 0;
  std::vector<std::string> Entries;  // JSON text of each entry, in session order
  std::string Analysis;              // the summary's kpi, cells and missing cells, as JSON members
};

// The report page's template with the libraries inlined, `entriesJson` (a
// JSON array of entries, as JSON text) as its data and `liveScript` in its
// live-only script block. The report passes no script; the live view serves
// the page with "[]" and its own script.
std::string ReportPage(std::string_view entriesJson, std::string_view liveScript = {});
