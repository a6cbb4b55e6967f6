// The drive's events as CSV (events.csv): a header row, then one row per
// event as the analysis decides it (live sessions flush each row), for a
// spreadsheet or a script. Columns:
//   time           the deciding record's time, ISO 8601 with the offset
//   kind           call_attempt, call_setup, ..., line_gap
//   direction      mo, mt, or empty for events that are not about a call
//   setup_time_s   call_setup: attempt to set-up, seconds; else empty
//   longitude, latitude   degrees WGS 84; empty without a position
//   mcc, mnc, lac, ci     the serving cell's identity; empty when unknown
//   arfcn, bsic           the serving cell's channel; empty when unknown
//   target_arfcn, target_bsic   handover and reselection: the new cell
//   cause          why, in words (text made safe for a spreadsheet)
//   first_record, last_record   indices of the records it came from
//
// Threads: one writer is used from one thread at a time (the session's).
#pragma once

#include <ostream>
#include <string>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/OutputFile.h"

class TEventsCsvWriter : public TRecordSink {
 public:
  // Creates or truncates the file; throws EOutputWrite when it cannot.
  explicit TEventsCsvWriter(const std::string& path, TFlushPolicy policy = TFlushPolicy::EveryEntry);
  // Writes into a stream the caller owns and keeps alive.
  explicit TEventsCsvWriter(std::ostream& stream, TFlushPolicy policy = TFlushPolicy::EveryEntry);

  // Each throws EOutputWrite when the row cannot be written.
  void OnStart(const TSessionSettings& settings) override;
  void OnRecord(const THostRecord&) override {}
  void OnEvent(const TDriveEvent& event) override;
  void OnFinish(const TSessionCounters& counters) override;  // flushes

  // The header row, without its line end.
  static std::string HeaderRow();

 private:
  void WriteHeaderOnce();

  TOutputFile Out;
  std::string Row;  // reused between rows
  int32_t UtcOffsetMinutes = 0;
  bool HeaderWritten = false;
};
