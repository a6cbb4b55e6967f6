// Makes a capture of a whole session against the simulated handset, in
// process and on a virtual clock, so the same options give the same bytes:
// the simulated handset (pure), the plug-in (loaded through its exports)
// over an in-memory port, and the simulated GPS along the same drive all
// read one clock that only this loop moves. Reads are cut by virtual time
// (every ChunkMs), never by how fast this machine runs.
//
// The session is the one a host runs: connect, start, a dialled call, a
// line that drops and comes back (the plug-in restarts the test), the stop.
// The bundled sample session and the benchmarks' captures are made here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "refhost/core/PluginLoader.h"
#include "refhost/core/SessionTypes.h"
#include "refhost/sim/HandsetSimulator.h"

struct TSimulatedCaptureOptions {
  uint64_t Seed = 1;
  double Seconds = 150;       // virtual session length after the test starts
  double ChunkMs = 50;        // one port read every this many virtual ms
  double DialAtS = 20;        // dial this long after the start; < 0: no call
  double CallSeconds = 30;    // hang up this long after dialling
  double DropAtS = 90;        // the line drops here; < 0: never
  double DropForS = 6;        // and comes back after this long
  double FloodBaud = 0;       // > 0: the handset floods reports at this line rate
  bool DecodeAfterStart = true;  // false: once the test runs, bytes are only recorded
                                 // (a flood needs no polls; big captures come quickly)
  int32_t UtcOffsetMinutes = 60;  // recorded with the session
  double IncomingCallEveryS = 90;  // the network offers a call about this often; 0 never
  TSimFaultRates Faults;           // the network's faults; none by default
};

struct TSimulatedCaptureResult {
  int64_t Chunks = 0;
  int64_t Fixes = 0;
  int64_t HandsetBytes = 0;   // bytes in the chunks
  int64_t FileBytes = 0;
  int64_t Records = 0;        // records the plug-in decoded while recording
  TDays Start = 0;            // host clock when the handset was switched on: its time 0
  std::vector<TSimTruthEvent> Truth;  // what the simulated network made, on its clock
};

// Writes the capture to `path` (created or replaced); the records the
// plug-in decoded while recording go to `sinks` (borrowed), as a live
// session would write them. Throws ECaptureWrite when the file cannot be
// written, std::runtime_error when the plug-in gives no decoder or the
// simulated handset never answers, and what a sink throws.
TSimulatedCaptureResult MakeSimulatedCapture(const TLoadedPlugin& plugin, const std::string& path,
                                             const TSimulatedCaptureOptions& options,
                                             const std::vector<TRecordSink*>& sinks = {});
