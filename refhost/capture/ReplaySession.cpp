#include "refhost/capture/ReplaySession.h"

#include "refhost/core/RecordStore.h"
#include "refhost/output/RecordValues.h"

namespace {

// Enough that the source reads ahead while the decoder works, small enough
// that memory stays flat however long the capture.
constexpr size_t ReplayQueueBytes = 4u << 20;

}  // namespace

TReplaySession::TReplaySession(const std::string& capturePath, bool realtime)
    : Path(capturePath), Reader(capturePath), Queue(ReplayQueueBytes), Source(Reader, Queue, realtime) {
  if (Source.Settings()) {
    Recorded = *Source.Settings();
  } else {
    Recorded.Source = capturePath;
  }
}

TReplaySession::~TReplaySession() {
  Source.RequestStop();
  Queue.Close();
  Source.Join();
}

void TReplaySession::RequestStop() {
  Source.RequestStop();
  Queue.RequestStop();
}

TReplayOutcome TReplaySession::Run(const TLoadedPlugin& plugin, const std::vector<TRecordSink*>& sinks) {
  TCaptureReplayPort port;
  TRecordStore store(DescribeRecord);
  for (TRecordSink* sink : sinks) store.AddSink(sink);
  TSessionOptions options;
  options.Replay = true;
  options.ReplayFileName = Path;
  // A lost line in the capture is followed by its regaining, if it was
  // regained: the replay waits for it as the live session did.
  options.Reconnect = true;
  options.Settings = Recorded;
  options.GpsConfigured = !Recorded.GpsSource.empty();
  TSessionDriver driver(plugin, port, Queue, store, options);
  driver.SetCaptureTap(&port.Clock());

  Source.Start();
  TReplayOutcome outcome;
  try {
    outcome.End = driver.Run();
  } catch (...) {
    Source.RequestStop();
    Queue.Close();
    Source.Join();
    throw;
  }
  // The driver may end before the capture does (a stop); the source must
  // not wait for room in a queue nobody empties any more.
  Source.RequestStop();
  Queue.Close();
  Source.Join();

  outcome.Capture = Source.End();
  outcome.Warning = DescribeCaptureEnd(outcome.Capture, Path);
  outcome.Counters = driver.Counters();
  outcome.RecordsWritten = store.Written();
  outcome.PortBytesWritten = port.Written();
  return outcome;
}

int ReplayExitStatus(const TReplayOutcome& outcome) {
  return outcome.Capture.Kind == TCaptureEndKind::Corrupt ? 5 : 0;
}
