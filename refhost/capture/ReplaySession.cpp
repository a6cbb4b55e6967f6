#include "refhost/capture/ReplaySession.h"

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
  // The queue first: a source that stops first ends the input, and a driver
  // that took that end would call the stop "done".
  Queue.RequestStop();
  Source.RequestStop();
}

namespace {

// The capture as one of the runner's sources.
class TCaptureSource : public TEventSource {
 public:
  explicit TCaptureSource(TReplaySource& source) : Source(source) {}
  void Start() override { Source.Start(); }
  void Stop() override {
    Source.RequestStop();
    Source.Join();
  }

 private:
  TReplaySource& Source;
};

}  // namespace

TReplayOutcome TReplaySession::Run(const TLoadedPlugin& plugin, const std::vector<TRecordSink*>& sinks,
                                   const std::function<void(double, const TSessionStatus&)>& onStatus) {
  TCaptureReplayPort port;
  TCaptureSource source(Source);
  TRunPlan plan;
  plan.Plugin = &plugin;
  plan.Port = &port;
  plan.Queue = &Queue;
  plan.Sources = {&source};
  plan.Sinks = sinks;
  plan.Tap = &port.Clock();
  plan.Describe = DescribeRecord;
  plan.Options.Replay = true;
  plan.Options.ReplayFileName = Path;
  // A lost line in the capture is followed by its regaining, if it was
  // regained: the replay waits for it as the live session did.
  plan.Options.Reconnect = true;
  plan.Options.Settings = Recorded;
  plan.Options.GpsConfigured = !Recorded.GpsSource.empty();
  plan.OnStatus = onStatus;
  TSessionRunner runner(plan);
  const TRunOutcome run = runner.Run();
  if (run.Failure) std::rethrow_exception(run.Failure);

  TReplayOutcome outcome;
  outcome.End = run.End;
  outcome.ElapsedSeconds = run.ElapsedSeconds;
  outcome.Capture = Source.End();
  outcome.Warning = DescribeCaptureEnd(outcome.Capture, Path);
  outcome.Counters = run.Counters;
  outcome.RecordsWritten = run.RecordsWritten;
  outcome.PortBytesWritten = port.Written();
  return outcome;
}

int ReplayExitStatus(const TReplayOutcome& outcome) {
  return outcome.Capture.Kind == TCaptureEndKind::Corrupt ? 5 : 0;
}
