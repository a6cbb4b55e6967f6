// NMEA 0183 sentences to GPS fixes, portable and without I/O: bytes are
// pushed in, fixes come out through a callback.
//
// The stream: reads may split sentences anywhere; a line ends with CR, LF or
// both; bytes before the last '$' of a line are garbage (a sentence cut off
// by a new one loses only itself); a line longer than 120 bytes is dropped.
// Each sentence needs its "*hh" checksum and it must match. Any talker (GP,
// GN, GL, GA, GB, ...) is read; of the sentence types only RMC (date, time,
// position, speed) and GGA (fix quality, satellites, altitude, position)
// matter, the rest are counted and ignored.
//
// Epochs: sentences with the same UTC time of day form one epoch, emitted
// once, as soon as it is complete: RMC and GGA both seen, or RMC alone in a
// stream that has shown RMC epochs without GGA. An epoch left incomplete is
// emitted when the next one begins or at Flush() (so the first epoch of an
// RMC-only stream comes one epoch late); a GGA-only epoch needs a date from
// an earlier RMC. An epoch with RMC status V, RMC mode N or GGA quality 0, or
// with an empty field it needs, gives no fix. The date rolls over at
// midnight: an epoch whose time of day lies more than 12 hours before the
// last one's is on the next day.
//
// Threads: one parser is fed from one thread at a time; the callback runs
// on that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "refhost/core/SessionTypes.h"

using TFixCallback = std::function<void(const TGpsFix&)>;
// Called once when a GPS source ends by itself (end of file, device gone,
// daemon lost), with why; never after Stop().
using TGpsEndCallback = std::function<void(const std::string& why)>;
// Converts a UTC date-time to the host clock's scale (local time).
using TUtcToHost = std::function<TDays(TDays utc)>;

struct TNmeaCounters {
  int64_t Sentences = 0;    // lines with a '$' and a good checksum
  int64_t BadChecksum = 0;  // lines with a '$' whose checksum was wrong or missing
  int64_t Skipped = 0;      // RMC/GGA with empty or malformed fields, or an invalid fix
  int64_t Fixes = 0;        // fixes emitted
};

class TNmeaParser {
 public:
  // `onFix` receives each fix; `toHost` converts its UTC time (default: this
  // machine's time zone rules).
  explicit TNmeaParser(TFixCallback onFix, TUtcToHost toHost = {});

  // Pushes bytes; complete sentences are read at once. Exceptions from the
  // callback pass through (the sentence that caused it is consumed).
  void Feed(const char* data, size_t size);
  void Feed(std::string_view text) { Feed(text.data(), text.size()); }

  // Emits the pending epoch if it makes a fix (end of input).
  void Flush();

  const TNmeaCounters& Counters() const { return Count; }

 private:
  struct TEpoch {
    // Declared, not defaulted: clang rejects a defaulted one with member
    // initialisers inside the enclosing class (std::optional needs it).
    TEpoch() {}
    int64_t TimeOfDayMs = -1;
    bool HasRmc = false, HasGga = false, Invalid = false, Done = false;
    int32_t Year = 0, Month = 0, Day = 0;  // from the RMC
    double Longitude = 0, Latitude = 0;
    double SpeedMps = 0;
    double AltitudeM = 0;
    int Quality = 0, Satellites = -1;
  };

  void Line(std::string_view line);
  void Sentence(std::string_view type, std::string_view fields);
  bool ReadRmc(std::string_view fields, TEpoch& e);
  bool ReadGga(std::string_view fields, TEpoch& e);
  TEpoch& EpochFor(int64_t timeOfDayMs);
  void MaybeEmit();
  void Finish();

  TFixCallback OnFix;
  TUtcToHost ToHost;
  std::string Pending;       // bytes of the line being read
  bool Overlong = false;
  std::optional<TEpoch> Epoch;
  bool SeenGga = false;
  bool RmcOnly = false;  // an epoch has ended with RMC and no GGA seen so far
  // Date and time of day of the last epoch with a date, for GGA-only epochs.
  std::optional<TDays> LastUtcDate;
  int64_t LastTimeOfDayMs = -1;
  TNmeaCounters Count;
};
