#include "refhost/core/HostMarkSource.h"

#include <atomic>
#include <new>

THostMarkSource::THostMarkSource() {
  Marks.ReplayFileName = nullptr;
  Marks.MarkCounter = &Counter;
  Marks.LatestMark = &Latest_;
}

THostMarkSource::~THostMarkSource() { SharedStrRelease(Marks.ReplayFileName); }

TPositionBlock THostMarkSource::Publish(const TGpsFix& fix) {
  Latest_ = TPositionBlock{fix.Longitude, fix.Latitude, fix.Time};
  // The block first, then the counter: the watcher reads only the counter.
  std::atomic_ref<int32_t>(Counter).store(Counter + 1);
  return Latest_;
}

void THostMarkSource::SetReplayFileName(const std::string& name) {
  PSharedStr fresh = nullptr;
  if (!name.empty()) {
    fresh = SharedStrNew(name.data(), static_cast<int32_t>(name.size()));
    if (fresh == nullptr) throw std::bad_alloc();
  }
  SharedStrRelease(Marks.ReplayFileName);
  Marks.ReplayFileName = fresh;
}

int32_t THostMarkSource::Count() const {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(Counter)).load();
}
