// The check every GPS fix passes before a session takes it: the values of
// refhost/core/FieldRanges.h. A fix outside them (a receiver's nonsense: a
// date of 9999, a negative speed, a latitude of 500) is dropped, counted and
// named in a warning. Warnings are rate-limited by count: the 1st, 10th,
// 100th, ... refusal of a source is reported, so a receiver that sends
// nonsense every second does not flood the terminal.
//
// Threads: Check and Refuse from the one thread that reads the source;
// Refused() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "refhost/core/SessionTypes.h"

// Receives a warning as one line of text, without a newline.
using TGpsWarning = std::function<void(const std::string& text)>;

class TFixGate {
 public:
  // `source` names the GPS in warnings ("nmea:/dev/ttyACM0"); `warn`
  // defaults to a line on stderr.
  explicit TFixGate(std::string source, TGpsWarning warn = {});

  // True when `fix` may be taken; otherwise refuses it with the range it
  // breaks.
  bool Check(const TGpsFix& fix);
  // Refuses a fix the reader found impossible itself, for `why` (which names
  // the value, e.g. "date 310299 does not exist").
  void Refuse(const std::string& why);

  int64_t Refused() const { return Count.load(); }

 private:
  std::string Source;
  TGpsWarning Warn;
  std::atomic<int64_t> Count{0};
  int64_t NextReport = 1;
};

// The fix as warnings name it: "2026-12-08T10:15:02.000 (host clock) 52.52000,13.40500 speed -5.00 m/s".
std::string DescribeFix(const TGpsFix& fix);
