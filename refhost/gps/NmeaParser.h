// NMEA 0183 sentences to GPS fixes, portable and without I/O: bytes are
// pushed in, fixes come out through a callback.
//
// The stream: reads may split sentences anywhere; a sentence starts at every
// '$' (whatever came before it, binary data or noise, costs nothing, and a
// sentence cut off by a new '$' loses only itself) and ends with its "*hh"
// checksum, which must match (a CR or LF before it: a bad checksum); one
// longer than 120 bytes from its '$' is dropped. Any talker (GP, GN, GL, GA,
// GB, BD, GQ, IN, ...) is read; of the sentence types RMC, GGA, GLL, GNS and
// ZDA are used, the rest are counted and ignored.
//
// Epochs: sentences with the same UTC time of day form one epoch and make
// one fix. Each field comes from the first of GGA, GNS, RMC, GLL, ZDA that
// gives it (docs/gps-input.md); speed only from RMC, the date from RMC or
// ZDA, or, without either, from the last dated epoch (rolling over at
// midnight: an epoch whose time of day lies more than 12 hours before the
// last one's is on the next day). An epoch is emitted as soon as it holds
// every sentence type the previous epoch held (the first epoch: RMC and
// GGA), else when the next epoch begins or at Flush(). An epoch
// in which any sentence says there is no fix (RMC or GLL status V, mode N,
// GGA quality 0, GNS mode all N) or has a malformed field gives no fix.
// A fix with an impossible value (a date that does not exist, a time,
// speed, altitude or count outside refhost/core/FieldRanges.h) is refused:
// dropped, counted and named in a warning (TFixGate).
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
#include <vector>

#include "refhost/core/SessionTypes.h"
#include "refhost/gps/FixGate.h"

using TFixCallback = std::function<void(const TGpsFix&)>;
// Called once when a GPS source ends by itself (end of file, device gone,
// daemon lost), with why; never after Stop().
using TGpsEndCallback = std::function<void(const std::string& why)>;
// Converts a UTC date-time to the host clock's scale (local time).
using TUtcToHost = std::function<TDays(TDays utc)>;

// The conversion of a session that keeps one UTC offset for its whole run:
// utc + `utcOffsetMinutes`.
TUtcToHost FixedUtcOffset(int32_t utcOffsetMinutes);

struct TNmeaCounters {
  int64_t Sentences = 0;    // sentences with a good checksum
  int64_t BadChecksum = 0;  // sentences whose checksum was wrong or missing
  int64_t Skipped = 0;      // used sentences with empty or malformed fields, saying "no fix", or undatable
  int64_t Fixes = 0;        // fixes emitted
  int64_t Refused = 0;      // fixes with an impossible value, dropped
};

class TNmeaParser {
 public:
  // `onFix` receives each fix; `toHost` converts its UTC time (default: this
  // machine's time zone rules); refused fixes are named through `warn`
  // (default: stderr) as coming from `source`.
  explicit TNmeaParser(TFixCallback onFix, TUtcToHost toHost = {}, TGpsWarning warn = {},
                       std::string source = "NMEA");

  // Pushes bytes; complete sentences are read at once. Exceptions from the
  // callback pass through (the sentence that caused it is consumed).
  void Feed(const char* data, size_t size);
  void Feed(std::string_view text) { Feed(text.data(), text.size()); }

  // Emits the pending epoch if it makes a fix (end of input).
  void Flush();

  TNmeaCounters Counters() const {
    TNmeaCounters c = Count;
    c.Refused = Gate.Refused();
    return c;
  }
  int64_t RefusedFixes() const { return Gate.Refused(); }

 private:
  // A field of the epoch and the rank of the sentence that gave it (higher
  // wins; 0: not given).
  template <typename T>
  struct TField {
    T Value{};
    int Rank = 0;
    void Offer(T value, int rank) {
      if (rank > Rank) {
        Value = value;
        Rank = rank;
      }
    }
  };
  struct TPosition {
    double Latitude = 0, Longitude = 0;
  };
  struct TEpoch {
    // Declared, not defaulted: clang rejects a defaulted one with member
    // initialisers inside the enclosing class (std::optional needs it).
    TEpoch() {}
    int64_t TimeOfDayMs = -1;
    unsigned Types = 0;  // bit per sentence type seen
    bool NoFix = false;  // a sentence said so or was malformed
    bool Done = false;
    std::string Impossible;  // why the epoch's fix is refused
    TField<TDays> Date;      // UTC midnight of the epoch's day
    TField<TPosition> Position;
    TField<double> AltitudeM, SpeedMps;
    TField<int> Quality, Satellites;
  };

  void StartSentence();
  void EndSentence();
  void Sentence(std::string_view type, std::string_view fields);
  bool ReadRmc(const std::vector<std::string_view>& f, TEpoch& e);
  bool ReadGga(const std::vector<std::string_view>& f, TEpoch& e);
  static void OfferSatellitesAndAltitude(const std::vector<std::string_view>& f, TEpoch& e, int rank);
  bool ReadGll(const std::vector<std::string_view>& f, TEpoch& e);
  bool ReadGns(const std::vector<std::string_view>& f, TEpoch& e);
  bool ReadZda(const std::vector<std::string_view>& f, TEpoch& e);
  TEpoch& EpochFor(int64_t timeOfDayMs);
  void Finish();

  TFixCallback OnFix;
  TUtcToHost ToHost;
  TFixGate Gate;
  std::string Pending;     // the sentence being read, from its '$'
  bool InSentence = false;
  bool Overlong = false;
  std::optional<TEpoch> Epoch;
  unsigned LastTypes = 0;  // sentence types of the last finished epoch
  // Date and time of day of the last epoch with a date, for undated epochs.
  std::optional<TDays> LastUtcDate;
  int64_t LastTimeOfDayMs = -1;
  TNmeaCounters Count;
};
