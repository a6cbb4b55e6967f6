// What `export`, `report` and `kpi` read: a session's output folder, its JSON
// Lines file, or a capture (replayed through the plug-in), played through the
// analysis stage into one writer.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "refhost/core/SessionTypes.h"

class TCellSites;

enum class TSessionInputKind { Folder, JsonLines, Capture };

// The kind of `input`: a folder, a file that starts with '{' (JSON Lines),
// or anything else (taken for a capture).
TSessionInputKind SessionInputKind(const std::string& input);

// Plays the session in `input` into `sink`; OnFinish reaches it exactly once
// (with empty counters when the input had no summary). `plugin` is the
// plug-in for a capture ("" for the one beside orvik-host). On bad input it
// prints "orvik-host COMMAND: what happened, what to do" on stderr and
// returns ExitBadInput (a capture damaged in the middle: ExitCaptureCorrupt,
// after everything before the damage reached the sink); ExitOk otherwise.
// A writer's EOutputWrite passes through.
int PlaySessionInput(const std::string& command, const std::string& input, const std::string& plugin,
                     TRecordSink& sink);

// The whole of `export` and `report`: checks the paths (`out` is neither
// the input nor one of its session's files), plays `input` into the writer
// `open` makes for `out` and says on stdout "Wrote OUT" followed by
// `wroteTail`. The analysis stage (with the cell file of `cells`) stands
// in front of the writer. The writer replaces `out` only when it is complete: a bad
// input or a failed write leaves an earlier file as it was. A writer that
// cannot be opened or written gives ExitFailure, said on stderr. `cells`,
// when not "", is the cell file of --cells: an input of the plan, read
// before anything is written (a bad one gives ExitBadInput), and handed to
// `open` (null without one).
int WriteSessionInput(const std::string& command, const std::string& input, const std::string& plugin,
                      const std::string& out,
                      const std::function<std::unique_ptr<TRecordSink>(const TCellSites*)>& open,
                      const char* wroteTail = "", const std::string& cells = "");
