// The session as CSV: a header row, then one row per record once its
// position is final and one row per gap. Live sessions flush each row as it
// is written, so a person tailing the file sees rows as they become final.
// Columns and units: docs/session-output.md.
//
// Threads: one writer is used from one thread at a time (the session's).
#pragma once

#include <ostream>
#include <string>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/OutputFile.h"

class TCsvWriter : public TRecordSink {
 public:
  // Creates or truncates the file; throws EOutputWrite when it cannot.
  explicit TCsvWriter(const std::string& path, TFlushPolicy policy = TFlushPolicy::EveryEntry);
  // Writes into a stream the caller owns and keeps alive.
  explicit TCsvWriter(std::ostream& stream, TFlushPolicy policy = TFlushPolicy::EveryEntry);

  // Each throws EOutputWrite when the row cannot be written.
  void OnStart(const TSessionSettings& settings) override;
  void OnRecord(const THostRecord& record) override;
  void OnGap(const TSessionGap& gap) override;
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
