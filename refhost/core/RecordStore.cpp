#include "refhost/core/RecordStore.h"

#include <limits>
#include <utility>

THostRecord DescribeBasics(const TTestDataRecord& record) {
  THostRecord r;
  r.TimeStamp1 = record.TimeStamp1;
  r.TimeStamp2 = record.TimeStamp2;
  r.Longitude = record.PositionX;
  r.Latitude = record.PositionY;
  r.MessageId = MessageIdOf(record);
  r.Dedicated = record.HostSetting != 0;
  const bool fullGsm = KindOf(record) == tdkGSM && (record.HeaderWord & hwCompactLayout) == 0;
  if (r.MessageId != 0 && fullGsm && record.KindData != nullptr) {
    const auto* gsm = static_cast<const TGSMKindData*>(record.KindData);
    if (gsm->Buffer.Size > 0 && gsm->Buffer.Data != nullptr)
      r.Layer3.assign(gsm->Buffer.Data, gsm->Buffer.Data + gsm->Buffer.Size);
  }
  return r;
}

bool CallStateAfter(uint16_t messageId, TCallStateView& state) {
  switch (messageId) {
    case 0x60D:  // CHANNEL RELEASE
    case 0x619:  // SYSTEM INFORMATION TYPE 1..4
    case 0x61A:
    case 0x61B:
    case 0x61C:
    case 0x621:  // PAGING REQUEST TYPE 1, 2, 3
    case 0x622:
    case 0x624:
      state = TCallStateView::Idle;
      return true;
    case 0x301:  // ALERTING
      state = TCallStateView::Alerting;
      return true;
    case 0x307:  // CONNECT
    case 0x30F:  // CONNECT ACKNOWLEDGE
      state = TCallStateView::Connected;
      return true;
    case 0x32D:  // RELEASE
      state = TCallStateView::Released;
      return true;
    default:
      return false;
  }
}

TRecordStore::TRecordStore(TRecordDescriber describe, size_t holdLimit)
    : Describe(std::move(describe)), HoldLimit(holdLimit > 0 ? holdLimit : 1) {}

TRecordStore::~TRecordStore() {
  for (TEntry& e : Held) FreeTestData(e.Copy);
}

void TRecordStore::AddSink(TRecordSink* sink) { Sinks.push_back(sink); }

TRecordCountCallback TRecordStore::CountCallback() { return {&TRecordStore::CountOf, this}; }

TRecordAtCallback TRecordStore::AtCallback() { return {&TRecordStore::RecordAt, this}; }

int32_t TRecordStore::CountOf(void* context, int32_t) {
  const int64_t n = static_cast<TRecordStore*>(context)->Count();
  return n > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                 : static_cast<int32_t>(n);
}

TTestDataRecord* TRecordStore::RecordAt(void* context, int32_t, int32_t index) {
  const auto* store = static_cast<TRecordStore*>(context);
  if (index < store->FirstHeld || index >= store->Count()) return nullptr;
  return store->Held[static_cast<size_t>(index - store->FirstHeld)].Copy;
}

int64_t TRecordStore::Add(const TTestDataRecord& record) {
  TTestDataRecord* const copy = CopyTestData(&record);
  TCallStateView state = State;
  CallStateAfter(MessageIdOf(*copy), state);
  try {
    Held.push_back({copy, state});
  } catch (...) {
    FreeTestData(copy);
    throw;
  }
  State = state;
  const int64_t index = Count() - 1;
  if (Held.size() > HoldLimit) HandOver(FirstHeld, TPositionMethod::None);
  return index;
}

void TRecordStore::MarkGap() { State = TCallStateView::Unknown; }

void TRecordStore::RestartPositions() { FirstFixPending = true; }

void TRecordStore::FinaliseByFix(int64_t lastFinal) {
  if (lastFinal < FirstHeld) return;
  HandOver(lastFinal, FirstFixPending ? TPositionMethod::FirstFix : TPositionMethod::Interpolated);
  FirstFixPending = false;
}

void TRecordStore::FinaliseRest() { HandOver(Count() - 1, TPositionMethod::None); }

void TRecordStore::HandOver(int64_t lastIndex, TPositionMethod method) {
  while (FirstHeld <= lastIndex && !Held.empty()) {
    const TEntry entry = Held.front();
    if (Sinks.empty()) {  // nobody to describe it for (a replay without outputs)
      Held.pop_front();
      ++FirstHeld;
      FreeTestData(entry.Copy);
      continue;
    }
    THostRecord r = Describe(*entry.Copy);
    r.Index = FirstHeld;
    r.TimeStamp1 = entry.Copy->TimeStamp1;
    r.TimeStamp2 = entry.Copy->TimeStamp2;
    r.Longitude = entry.Copy->PositionX;
    r.Latitude = entry.Copy->PositionY;
    r.Method = method;
    r.CallState = entry.CallState;
    // Released before the sinks see it: a sink that throws cannot make it
    // be handed over twice.
    Held.pop_front();
    ++FirstHeld;
    FreeTestData(entry.Copy);
    for (TRecordSink* sink : Sinks) sink->OnRecord(r);
  }
}

void TRecordStore::Start(const TSessionSettings& settings) {
  for (TRecordSink* sink : Sinks) sink->OnStart(settings);
}

void TRecordStore::Fix(const TGpsFix& fix) {
  for (TRecordSink* sink : Sinks) sink->OnFix(fix);
}

void TRecordStore::Gap(const TSessionGap& gap) {
  for (TRecordSink* sink : Sinks) sink->OnGap(gap);
}

void TRecordStore::Finish(const TSessionCounters& counters) {
  for (TRecordSink* sink : Sinks) sink->OnFinish(counters);
}
