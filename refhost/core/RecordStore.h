// The host's record store: its own deep copies of the decoded records, the
// two callbacks through which the decoder stamps positions onto them, and
// the hand-over of each record to the writers once its position is final.
//
// Records enter in arrival order and are numbered from 0 (the index the
// decoder's callbacks use). A record's call state follows the signalling
// messages as the decoder tracks them; after a gap in the line it reads
// Unknown until the next message that sets a state. Once final, a record is
// described, handed to every sink exactly once in index order, and released:
// the store holds only records still waiting for a position, so its memory
// stays flat however long the session.
//
// Threads: the store is used on the session driver's thread only (the
// decoder calls the callbacks from inside slot 44 on that thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "plugin/DeviceInterface.h"
#include "refhost/core/SessionTypes.h"
#include "testdata/DataAccessAPIUnit.h"

// Fills a THostRecord's values from a record. The store fills Index, the
// time stamps, position, method and call state itself afterwards.
using TRecordDescriber = std::function<THostRecord(const TTestDataRecord&)>;

// The values the store can read without knowing the report layouts: message
// identifier, dedicated flag and the layer-3 bytes of a signalling message.
// Never throws for a record built by the decoding library.
THostRecord DescribeBasics(const TTestDataRecord& record);

// The call state a message identifier leads to, the decoder's own table;
// false when the message leaves the state as it was.
bool CallStateAfter(uint16_t messageId, TCallStateView& state);

class TRecordStore {
 public:
  // Records held waiting for a position before the oldest is handed over
  // without one: a session with no GPS must not grow without bound.
  static constexpr size_t DefaultHoldLimit = size_t{1} << 16;

  explicit TRecordStore(TRecordDescriber describe = DescribeBasics, size_t holdLimit = DefaultHoldLimit);
  // Releases the copies still held (FreeTestData).
  ~TRecordStore();
  TRecordStore(const TRecordStore&) = delete;
  TRecordStore& operator=(const TRecordStore&) = delete;

  // Sinks are borrowed and must outlive the store's last call.
  void AddSink(TRecordSink* sink);

  // The callbacks for slots 56 and 57, with this store as their context.
  TRecordCountCallback CountCallback();
  TRecordAtCallback AtCallback();

  // Takes a deep copy of the decoder's record (which stays the decoder's);
  // returns the new index. Beyond the hold limit the oldest held record is
  // handed over with method None. Out of shared memory raises
  // std::bad_alloc and the store is unchanged.
  int64_t Add(const TTestDataRecord& record);

  // The line was lost: call state Unknown until the next signalling message.
  void MarkGap();
  // A test was (re)started: the next records a fix finalises got that first
  // fix's position rather than an interpolated one.
  void RestartPositions();

  // The decoder reports records up to lastFinal final after a fix: each gets
  // FirstFix or Interpolated and is handed to the sinks. Indices already
  // handed over are skipped.
  void FinaliseByFix(int64_t lastFinal);
  // Hands every record still held to the sinks with method None, keeping
  // whatever position the decoder left in it (the session is ending).
  void FinaliseRest();

  // Broadcast to every sink.
  void Start(const TSessionSettings& settings);
  void Fix(const TGpsFix& fix);
  void Gap(const TSessionGap& gap);
  void Finish(const TSessionCounters& counters);

  int64_t Count() const { return FirstHeld + static_cast<int64_t>(Held.size()); }
  int64_t Written() const { return FirstHeld; }  // records handed to the sinks
  TCallStateView CallState() const { return State; }

 private:
  struct TEntry {
    TTestDataRecord* Copy;
    TCallStateView CallState;
  };
  void HandOver(int64_t lastIndex, TPositionMethod method);
  static int32_t CountOf(void* context, int32_t deviceNumber);
  static TTestDataRecord* RecordAt(void* context, int32_t deviceNumber, int32_t index);

  TRecordDescriber Describe;
  size_t HoldLimit;
  std::vector<TRecordSink*> Sinks;
  std::deque<TEntry> Held;  // indices FirstHeld, FirstHeld + 1, ...
  int64_t FirstHeld = 0;
  TCallStateView State = TCallStateView::Idle;
  bool FirstFixPending = true;
};
