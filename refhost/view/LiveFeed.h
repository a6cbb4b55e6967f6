// The session as a feed for the live view: a sink beside the writers that
// turns each entry into the line the JSON Lines file gets (the same writer
// makes it) and keeps it, and the clients that read those lines as
// Server-Sent Events.
//
// Every entry is kept for the session's length, so a page that connects
// late or reloads gets the session so far first, then follows. Each client
// is only a cursor into that history: what it has yet to receive is its
// buffer, bounded by TLiveFeedLimits::ClientLagBytes once it has caught up;
// a client that falls further behind (or whose socket stops taking bytes) is
// dropped and counted. The session's thread only appends and wakes the
// clients: it never waits on one.
//
// Memory: an entry is 430 bytes on average (a record with six neighbours
// and its message, up to some 1.6 kB); the simulated drive writes about 2 kB
// a second. The history holds at most HistoryBytes (256 MiB: well over a
// day of such a drive). Past that the oldest entries go, and a page that
// connects later starts from the oldest entry kept.
//
// Threads: the sink calls come from the session's thread; SetStatus from
// any; each client's Next from the one thread that serves it; Join, Leave,
// Stop and the counters from any.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/JsonLines.h"

struct TLiveFeedLimits {
  // Streams at once. Each holds one of the server's threads for as long as
  // it lasts, so the pool is sized from it.
  size_t MaxClients = 4;
  // How far a caught-up client may fall behind before it is dropped.
  uint64_t ClientLagBytes = 1u << 20;
  uint64_t HistoryBytes = 256u << 20;
  // Entries per event while catching up, and the bytes they may take.
  size_t BatchEntries = 512;
  size_t BatchBytes = 256u << 10;
};

class TLiveFeed : public TRecordSink {
 public:
  explicit TLiveFeed(TLiveFeedLimits limits = {});
  ~TLiveFeed() override;

  // Never throw into the session: a line that cannot be made ends the feed
  // (said once on stderr), the session goes on.
  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnGap(const TSessionGap& gap) override;
  void OnEvent(const TDriveEvent& event) override;
  void OnAnalysis(const TSessionAnalysisResult& analysis) override;
  void OnFinish(const TSessionCounters& counters) override;

  // The status object (a JSON text) clients get as an "event: status"
  // message; each client gets the latest one, once.
  void SetStatus(std::string json);

  class TClient;
  // A new client starting after entry `resumeAfter` (the last SSE id it got;
  // 0 for the whole session). Null when MaxClients are connected.
  std::shared_ptr<TClient> Join(uint64_t resumeAfter = 0);
  void Leave(const std::shared_ptr<TClient>& client);
  // Waits at most `wait` for something to send and appends it to `out` as
  // SSE text. False once the client's stream is over: dropped, or the feed
  // stopped and the client has everything (then `out` ends with "event:
  // end").
  bool Next(TClient& client, std::string& out, std::chrono::milliseconds wait);
  // The client's socket took no bytes for the write timeout: it is dropped.
  void DropStalled(TClient& client);
  // The session is over: clients get the rest, then the end.
  void Stop();

  int64_t ClientsDropped() const;
  size_t Clients() const;
  uint64_t Entries() const;
  uint64_t HistoryBytesHeld() const;

 private:
  template <class F>
  void Publish(F&& write);
  void DropLocked(TClient& client);

  TLiveFeedLimits Limits;
  std::ostringstream Text;  // the JSON Lines writer writes here
  TJsonLinesWriter Writer;
  bool Broken = false;

  mutable std::mutex Lock;
  std::condition_variable Wake;
  struct TEntry {
    std::string Line;   // without its line end
    uint64_t EndByte;   // bytes of the session up to and with this entry
  };
  std::deque<TEntry> History;
  uint64_t FirstIndex = 1;  // index of History.front(); entries count from 1
  uint64_t HistoryHeld = 0;
  uint64_t HeadByte = 0;
  std::string Status;
  uint64_t StatusVersion = 0;
  bool Stopped = false;
  int64_t Dropped = 0;
  std::deque<std::shared_ptr<TClient>> Connected;
};

class TLiveFeed::TClient {
 private:
  friend class TLiveFeed;
  uint64_t Next = 1;        // index of the next entry to send
  uint64_t SentByte = 0;    // EndByte of the last entry sent
  uint64_t CatchUpTo = 0;   // the head when it joined
  uint64_t StatusSeen = 0;
  bool CaughtUp = false;
  bool Dropped = false;
  bool ToldTrimmed = false;
};
