// The one place where a session's writers are assembled, for live sessions
// and replays alike: every writer of the output folder is added here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/core/SessionTypes.h"
#include "refhost/output/OutputFile.h"

class TCellSites;

struct TSessionSinks {
  std::vector<std::unique_ptr<TRecordSink>> Writers;
  std::vector<std::string> Files;  // what the folder will hold, for the user
  // In front of the writers: the session goes to it alone (Front), and it
  // hands every writer the records with their serving cell, the events and
  // the KPIs. Declared last, so it goes before the writers it borrows.
  std::unique_ptr<TAnalysisStage> Stage;

  std::vector<TRecordSink*> Front() const { return {Stage.get()}; }
};

// The files a session's folder holds, in the order they are opened.
const std::vector<std::string>& SessionFileNames();

// Creates the folder `outDir` (and its parents) and opens every writer in it.
// The caller owns the writers and keeps them until the session's OnFinish.
// Throws EOutputWrite (or std::filesystem::filesystem_error) saying which
// file could not be created. A `pcapPath` that is not empty also gets the
// signalling as a pcap. `policy` says when the CSV and JSON Lines reach the
// disk: every entry for a session a person watches, when full for a replay.
// `sites` (borrowed, may be null) is the cell file: the analysis reads it,
// the maps and the report show it. `watcher` (borrowed, may be null; the
// live view) gets what the writers get, after them.
TSessionSinks MakeSessionSinks(const std::string& outDir, const TSessionSettings& settings, TFlushPolicy policy,
                               const std::string& pcapPath = "", const TCellSites* sites = nullptr,
                               TRecordSink* watcher = nullptr);
