// The session as JSON Lines: one object per line (live sessions flush each
// line as it is written).
// "type" says what a line holds: "session" (first line: the settings),
// "fix", "record", "gap", "event" (what the analysis found, right after the
// record or gap that decided it), "summary" (last line: the counters, the
// KPIs under "kpi" and the cell table under "cells"). Everything a
// later tool needs to draw maps, write a pcap or a report is in it. Fields
// and units: docs/session-output.md.
//
// Threads: one writer or reader is used from one thread at a time.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/OutputFile.h"

// Version of the line layout, written in the session line; the reader
// refuses a newer one.
constexpr int JsonLinesFormatVersion = 1;

class TJsonLinesWriter : public TRecordSink {
 public:
  // Creates or truncates the file; throws EOutputWrite when it cannot.
  explicit TJsonLinesWriter(const std::string& path, TFlushPolicy policy = TFlushPolicy::EveryEntry);
  // Writes into a stream the caller owns and keeps alive.
  explicit TJsonLinesWriter(std::ostream& stream, TFlushPolicy policy = TFlushPolicy::EveryEntry);

  // Each throws EOutputWrite when the line cannot be written.
  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnGap(const TSessionGap& gap) override;
  void OnEvent(const TDriveEvent& event) override;
  void OnAnalysis(const TSessionAnalysisResult& analysis) override;
  void OnFinish(const TSessionCounters& counters) override;  // flushes

 private:
  void WriteLine(std::string line);

  TOutputFile Out;
  std::string Line;  // reused between records
  int32_t UtcOffsetMinutes = 0;
  std::string Analysis;  // ,"kpi":...,"cells":... for the summary line; empty without an analysis
};

// The longest line the reader takes. The longest line a session writes is
// its session line, with two texts of at most FieldRanges::MaxTextBytes
// (128 KiB) each; escaping makes a byte at most six characters (\u0001), so
// that line stays under 1.6 MiB. A line past the bound is damage, and the
// reader refuses it before holding more than the bound in memory.
constexpr size_t JsonLinesMaxLineBytes = 4u << 20;

// Reads a session's JSON Lines back and replays each entry into `sink` in
// file order (session -> OnStart, fix -> OnFix, record -> OnRecord, gap ->
// OnGap, summary -> OnFinish). Blank lines are skipped, and so are "event"
// lines and the summary's "kpi" and "cells": what the analysis derives is
// derived again by the stage a reader plays into, never read back. Values are checked
// against FieldRanges.h. On bad input it stops at the first bad line and
// returns false with `error` saying which line and what is wrong; the entries
// before it have reached the sink. A last line that is not valid JSON and has
// no line end (a write cut off by a crash or a full disk) is not an error:
// the reader returns true with `warning` naming that line ("" otherwise).
// Exceptions the sink throws pass through.
bool ReadJsonLines(std::istream& in, TRecordSink& sink, std::string& error, std::string& warning);
