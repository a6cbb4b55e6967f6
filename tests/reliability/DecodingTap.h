// A test decoding library between the decoder and the stand-in: the programs
// that link it receive the decoder's calls of the two decoding functions
// first. By default each call goes on to the stand-in unchanged; a test can
// make chosen calls raise, or decode test frames into records of a shape of
// its own choosing, and it sees the decoder's DecodeState bytes.
//
// Linux only (the stand-in is reached with dlsym(RTLD_NEXT)).
// Threads: the calls come from the decoder's receive thread; set the
// controls while nothing is decoded.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "testdata/DataAccessAPIUnit.h"

class THandsetFields;

struct TDecodingTap {
  int64_t TestCalls = 0;     // Gain_GSM_Test_Data calls so far
  int64_t RaiseFrom = 0;     // calls numbered RaiseFrom, RaiseFrom + RaiseEvery, ... raise (1-based; 0 none)
  int64_t RaiseEvery = 0;    // 0: only RaiseFrom
  int64_t Raised = 0;
  // When set, test frames are decoded by this instead of the stand-in: it
  // returns a new record (released by the tap) whose sub-record and header
  // words replace those of the attached record, or null to reject the frame.
  std::function<TTestDataRecord*(std::string_view frame)> Shape;
  // What the decoder passed on its latest call.
  void* DecodeState = nullptr;
  THandsetFields* Store = nullptr;
  // Called after each call that decoded, with the attached record.
  std::function<void(const TTestDataRecord&)> OnDecoded;
};

// The one tap of the process; Reset() puts it back to forwarding only.
TDecodingTap& DecodingTap();
void ResetDecodingTap();

// The counters in DecodeState bytes: lines decoded (+0) and rejected (+4).
uint32_t DecodedLines(const void* decodeState);
uint32_t RejectedLines(const void* decodeState);
