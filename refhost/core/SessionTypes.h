// What flows through the reference host, from the port to the writers.
//
// Data flows one way: a port (serial, pseudo-terminal or replay) delivers
// chunks of handset bytes; a reader thread queues them; the session driver,
// the only caller of the decoder, feeds them in and fetches the decoded
// records into the host's record store; the store stamps positions from the
// GPS fixes and hands each record to the writers once its position is final.
// Every type here is plain data, portable to every target the host builds on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "refhost/core/DriveEvents.h"

// Date-times are days since 1899-12-30 in local time, the scale of the
// host clock (TDevicePort::CurrentTime) and of the records' time stamps.
using TDays = double;

// One chunk of handset bytes as the port delivered it.
struct TChunk {
  TDays HostTime = 0;  // host clock when the read returned
  std::vector<uint8_t> Bytes;
};

// One GPS fix as the host keeps it.
struct TGpsFix {
  TDays Time = 0;          // host clock scale
  double Longitude = 0;    // degrees, WGS 84, east positive
  double Latitude = 0;     // degrees, north positive
  double AltitudeM = 0;    // metres above mean sea level; NaN when unknown
  double SpeedMps = 0;     // NaN when unknown
  int Quality = 1;         // GGA fix quality (1 GPS, 2 DGPS, ...); 0 is never delivered
  int Satellites = -1;     // -1 when unknown
};

// How a record's position was obtained.
enum class TPositionMethod : uint8_t {
  None,          // no fix yet (or none before the session stopped)
  FirstFix,      // waiting when the first fix came: that fix's position
  Interpolated,  // between the two fixes around it
};

// Call state as the host shows it. Unknown follows a gap in the line, until
// the next signalling message says otherwise.
enum class TCallStateView : uint8_t { Idle = 0, Alerting = 1, Connected = 2, Released = 3, Unknown = 255 };

struct TNeighbourCell {
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  uint8_t RxLev = 0;  // GSM RXLEV code 0..63
};

// Idle-mode report of the serving cell.
struct TIdleValues {
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  uint8_t RxLev = 0;
  int16_t C1 = 0;
  int16_t C2 = 0;
  std::vector<TNeighbourCell> Neighbours;
};

// Dedicated-mode report.
struct TDedicatedValues {
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  uint8_t RxLevFull = 0;
  uint8_t RxLevSub = 0;
  uint8_t RxQualFull = 0;
  uint8_t RxQualSub = 0;
  uint8_t TimingAdvance = 0;
  uint8_t TxPower = 0;
  std::vector<TNeighbourCell> Neighbours;
};

// One decoded record as the writers see it, once its position is final.
struct THostRecord {
  int64_t Index = 0;        // position in the host's store, 0-based, arrival order
  TDays TimeStamp1 = 0;     // host clock when decoded
  TDays TimeStamp2 = 0;     // host clock right after
  double Longitude = -9999.0;  // -9999.0 when no position
  double Latitude = -9999.0;
  TPositionMethod Method = TPositionMethod::None;
  TCallStateView CallState = TCallStateView::Idle;
  uint16_t MessageId = 0;   // (protocol discriminator << 8) | message type; 0 for reports
  bool Dedicated = false;   // the record came from dedicated mode
  std::optional<TIdleValues> Idle;
  std::optional<TDedicatedValues> DedicatedReport;
  std::vector<uint8_t> Layer3;  // the signalling message as sent over the air, when MessageId != 0
  TServingCell Serving;         // filled by the analysis on the way to the writers
};

// A stretch of the session in which the line was lost.
struct TSessionGap {
  TDays From = 0;
  TDays To = 0;
  std::string Why;  // e.g. "port closed by the other end", "no bytes for 10 s"
};

// Counters shown in the status line and in the closing summary.
struct TSessionCounters {
  int64_t BytesReceived = 0;
  int64_t FramesDecoded = 0;     // records stored by the decoder
  int64_t FramesRejected = 0;    // lines the decoding library refused
  int64_t Gaps = 0;
  int64_t QueueFull = 0;         // chunks that met a full queue (never dropped: counted)
  int64_t QueueHighWaterBytes = 0;
  int64_t Fixes = 0;
  int64_t CallsSetUp = 0;
  int64_t CallsDropped = 0;
  // Bytes received but never fed to the decoder: what was still queued when
  // the user stopped the session (a capture holds them for a replay).
  int64_t BytesUndecoded = 0;
  // Times the GPS went quiet or ended while the session ran.
  int64_t GpsOutages = 0;
};

// Settings a session ran with, kept in captures and in the outputs' headers.
struct TSessionSettings {
  std::string Source;        // "simulate", a port path, or a capture file
  std::string GpsSource;     // "simulate", "nmea:PATH", "gpsd:HOST:PORT" or ""
  int32_t UtcOffsetMinutes = 0;  // local time minus UTC when the session started
  uint64_t Seed = 0;         // simulator seed, 0 when not simulated
};

// Receives the session in order: fixes as they come, each record once its
// position is final (in index order), gaps when the line comes back or the
// session ends, and the closing summary once. Writers implement it. Behind
// the analysis stage a sink also gets each event right after the record (or
// gap) that decided it, and the session's analysis just before OnFinish.
class TRecordSink {
 public:
  virtual ~TRecordSink() = default;
  virtual void OnStart(const TSessionSettings&) {}
  virtual void OnFix(const TGpsFix&) {}
  virtual void OnRecord(const THostRecord& record) = 0;
  virtual void OnGap(const TSessionGap&) {}
  virtual void OnEvent(const TDriveEvent&) {}
  virtual void OnAnalysis(const TSessionAnalysisResult&) {}
  virtual void OnFinish(const TSessionCounters&) {}
};
