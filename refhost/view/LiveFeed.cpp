#include "refhost/view/LiveFeed.h"

#include <algorithm>
#include <cstdio>
#include <exception>

TLiveFeed::TLiveFeed(TLiveFeedLimits limits) : Limits(limits), Writer(Text, TFlushPolicy::EveryEntry) {}

TLiveFeed::~TLiveFeed() = default;

// The writer makes the line (one entry, with its line end); it goes into
// the history and the clients are woken. Anything thrown here would fail
// the session, so it ends the feed instead.
template <class F>
void TLiveFeed::Publish(F&& write) {
  if (Broken) return;
  try {
    Text.str(std::string());
    write();
    std::string lines = Text.str();
    std::lock_guard lock(Lock);
    size_t from = 0;
    while (from < lines.size()) {
      size_t end = lines.find('\n', from);
      if (end == std::string::npos) end = lines.size();
      if (end > from) {
        HeadByte += end - from + 1;
        HistoryHeld += end - from + 1;
        History.push_back({lines.substr(from, end - from), HeadByte});
      }
      from = end + 1;
    }
    while (HistoryHeld > Limits.HistoryBytes && History.size() > 1) {
      HistoryHeld -= History.front().Line.size() + 1;
      History.pop_front();
      ++FirstIndex;
    }
    for (const auto& client : Connected)
      if (client->CaughtUp && !client->Dropped && HeadByte - client->SentByte > Limits.ClientLagBytes)
        DropLocked(*client);
  } catch (const std::exception& e) {
    Broken = true;
    std::fprintf(stderr, "orvik-host: the live view stops (the session goes on): %s\n", e.what());
    Stop();
    return;
  }
  Wake.notify_all();
}

void TLiveFeed::OnStart(const TSessionSettings& s) { Publish([&] { Writer.OnStart(s); }); }
void TLiveFeed::OnFix(const TGpsFix& f) { Publish([&] { Writer.OnFix(f); }); }
void TLiveFeed::OnRecord(const THostRecord& r) { Publish([&] { Writer.OnRecord(r); }); }
void TLiveFeed::OnGap(const TSessionGap& g) { Publish([&] { Writer.OnGap(g); }); }
void TLiveFeed::OnEvent(const TDriveEvent& e) { Publish([&] { Writer.OnEvent(e); }); }
void TLiveFeed::OnAnalysis(const TSessionAnalysisResult& a) { Publish([&] { Writer.OnAnalysis(a); }); }
void TLiveFeed::OnFinish(const TSessionCounters& c) { Publish([&] { Writer.OnFinish(c); }); }

void TLiveFeed::SetStatus(std::string json) {
  {
    std::lock_guard lock(Lock);
    Status = std::move(json);
    ++StatusVersion;
  }
  Wake.notify_all();
}

std::shared_ptr<TLiveFeed::TClient> TLiveFeed::Join(uint64_t resumeAfter) {
  std::lock_guard lock(Lock);
  if (Connected.size() >= Limits.MaxClients) return nullptr;
  auto client = std::make_shared<TClient>();
  const uint64_t head = FirstIndex + History.size();
  client->Next = std::clamp<uint64_t>(resumeAfter + 1, FirstIndex, head);
  client->CatchUpTo = head;
  client->SentByte = client->Next > FirstIndex ? History[client->Next - 1 - FirstIndex].EndByte
                                               : HeadByte - HistoryHeld;
  Connected.push_back(client);
  return client;
}

void TLiveFeed::Leave(const std::shared_ptr<TClient>& client) {
  std::lock_guard lock(Lock);
  Connected.erase(std::remove(Connected.begin(), Connected.end(), client), Connected.end());
}

void TLiveFeed::DropLocked(TClient& client) {
  if (client.Dropped) return;
  client.Dropped = true;
  ++Dropped;
}

void TLiveFeed::DropStalled(TClient& client) {
  {
    std::lock_guard lock(Lock);
    if (Stopped && client.Next >= FirstIndex + History.size()) return;  // ended, not stalled
    DropLocked(client);
  }
  Wake.notify_all();
}

bool TLiveFeed::Next(TClient& client, std::string& out, std::chrono::milliseconds wait) {
  std::unique_lock lock(Lock);
  const auto head = [this] { return FirstIndex + History.size(); };
  Wake.wait_for(lock, wait, [&] {
    return client.Dropped || Stopped || client.Next < head() || client.StatusSeen != StatusVersion;
  });
  if (client.Dropped) return false;
  if (client.Next < FirstIndex) {
    // The oldest entries went while it lagged: it starts again where the history does.
    if (client.CaughtUp) {
      DropLocked(client);
      return false;
    }
    client.Next = FirstIndex;
  }
  if (client.Next == FirstIndex && FirstIndex > 1 && !client.ToldTrimmed) {
    client.ToldTrimmed = true;
    out += "event: trimmed\ndata: {\"first_entry\":" + std::to_string(FirstIndex) + "}\n\n";
  }
  if (client.Next < head()) {
    size_t count = 0, bytes = 0;
    while (client.Next < head() && count < Limits.BatchEntries && bytes < Limits.BatchBytes) {
      const TEntry& entry = History[client.Next - FirstIndex];
      out += "data: ";
      out += entry.Line;
      out += '\n';
      bytes += entry.Line.size();
      client.SentByte = entry.EndByte;
      ++client.Next;
      ++count;
    }
    // The id lets a reconnecting EventSource carry on where it was.
    out += "id: " + std::to_string(client.Next - 1) + "\n\n";
  }
  if (client.Next >= client.CatchUpTo) client.CaughtUp = true;
  if (client.StatusSeen != StatusVersion) {
    client.StatusSeen = StatusVersion;
    out += "event: status\ndata: " + Status + "\n\n";
  }
  if (Stopped && client.Next >= head()) {
    out += "event: end\ndata: {}\n\n";
    return false;
  }
  return true;
}

void TLiveFeed::Stop() {
  {
    std::lock_guard lock(Lock);
    Stopped = true;
  }
  Wake.notify_all();
}

int64_t TLiveFeed::ClientsDropped() const {
  std::lock_guard lock(Lock);
  return Dropped;
}

size_t TLiveFeed::Clients() const {
  std::lock_guard lock(Lock);
  return Connected.size();
}

uint64_t TLiveFeed::Entries() const {
  std::lock_guard lock(Lock);
  return FirstIndex - 1 + History.size();
}

uint64_t TLiveFeed::HistoryBytesHeld() const {
  std::lock_guard lock(Lock);
  return HistoryHeld;
}
