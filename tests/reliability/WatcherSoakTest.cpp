// Test start and stop in a loop while a host's receive thread feeds bytes and
// its GPS thread sends marks, both serialised into the decoder by the host's
// mutex as the decoder requires, while watchers read the mark counter and
// the decoder's last mark count without that mutex. Run under
// ThreadSanitizer (the tsan leg and, longer, the soak leg: ORVIK_SOAK_CYCLES).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "plugin/Orvik7316MSDecode.h"
#include "tests/common/RecordingPort.h"
#include "tests/reliability/SoakStream.h"

namespace {

TEST(WatcherSoak, StartStopWhileBytesAndMarksArriveFromHostThreads) {
  const int64_t cycles = SoakCount("ORVIK_SOAK_CYCLES", 200);
  const int64_t blocks0 = SharedLiveBlocks();
  TRecordingPort port;
  int32_t markCounter = 0;
  TPositionBlock latest{1.0, 2.0, 45000.0};
  TGPSMarkSource marks{nullptr, &markCounter, &latest};
  std::unique_ptr<TOrvik7316MSDecode> d(TOrvik7316MSDecode::Create(&port, &marks));
  ASSERT_NE(d, nullptr);
  d->SetClock({[](void*) { return 45000.5; }, [](void*, uint32_t) {}, nullptr});  // no real pauses

  std::mutex decoder;  // the host's: one call into the decoder at a time
  std::atomic<bool> done{false};
  std::atomic<int64_t> silences{0};
  int64_t stored = 0;

  // A watcher that times out at once, so it reads the counters all the time.
  TMSWatcher reader(d.get(), 0, 1);
  reader.SetOnSilence([](void* c, TMSWatcher*) { static_cast<std::atomic<int64_t>*>(c)->fetch_add(1); }, &silences);

  std::thread receive([&] {
    TSoakStream stream(19);
    while (!done.load()) {
      const std::string chunk = stream.NextChunk();
      std::lock_guard<std::mutex> lock(decoder);
      d->ReceiveBytes(chunk.data(), static_cast<int32_t>(chunk.size()), 0);
      if (d->GetHasNewRecords()) {
        const int32_t n = d->GetStoredRecordCount();
        for (int32_t i = 0; i < n; ++i) d->FreeStoredRecord(i);
        d->ClearStoredRecords();
        stored += n;
      }
    }
  });
  std::thread gps([&] {
    for (int32_t n = 1; !done.load(); ++n) {
      std::atomic_ref<int32_t>(markCounter).store(n);  // written atomically, as hosts must
      std::lock_guard<std::mutex> lock(decoder);
      latest = {n * 1.0, n * 2.0, 45000.0 + n / 86400.0};
      d->NewPosition(latest);
    }
  });
  for (int64_t i = 0; i < cycles; ++i) {
    {
      std::lock_guard<std::mutex> lock(decoder);
      d->StartTest();  // a new watcher of the decoder's own
    }
    std::this_thread::yield();
    std::lock_guard<std::mutex> lock(decoder);
    d->StopTest();
  }
  done.store(true);
  receive.join();
  gps.join();
  reader.StopWatcher();
  reader.Join();
  d.reset();
  EXPECT_GT(stored, 0) << "records were stored between the starts and stops";
  EXPECT_GT(silences.load(), 0) << "the watcher read the counters";
  EXPECT_EQ(SharedLiveBlocks(), blocks0);
}

}  // namespace
