// Session control and the receive path: the session modes, the connect
// handshake, test start and stop, every received frame from ReceiveBytes to a
// stored record, the raw log file and the throughput figure.
//
// Everything runs on the thread that calls the slot; ReceiveBytes carries the
// whole receive path, including the report refresh with its pauses.
#include <cmath>
#include <exception>
#include <string_view>

#include "host/VelmarIntface.h"
#include "platform/DateTime.h"
#include "platform/UserMessage.h"
#include "plugin/Orvik7316MSDecode.h"
#include "serial/Orvik7316Cmd.h"
#include "serial/ParseBinary.h"
#include "testdata/DataAccessAPIUnit.h"
#include "testdata/TestDataBox.h"

namespace {

constexpr uint32_t DisconnectPauseMs = 100;
constexpr uint32_t StopPauseMs = 20;
constexpr double SecondsPerDay = 86400.0;
constexpr std::string_view NoLogFileMessage = "Please Set the LogFileName First !!!";

// The call state a signalling message leads to, or -1 when it leaves the
// state alone. Identifiers: protocol discriminator in bits 8-11, message type
// in bits 0-7.
int CallStateFor(uint16_t messageId) {
  switch (messageId) {
    case 0x60D:  // CHANNEL RELEASE
    case 0x619:  // SYSTEM INFORMATION TYPE 1..4
    case 0x61A:
    case 0x61B:
    case 0x61C:
    case 0x621:  // PAGING REQUEST TYPE 1, 2, 3
    case 0x622:
    case 0x624:
      return csIdle;
    case 0x301:  // ALERTING
      return csAlerting;
    case 0x307:  // CONNECT
    case 0x30F:  // CONNECT ACKNOWLEDGE
      return csConnected;
    case 0x32D:  // RELEASE
      return csReleased;
    default:
      return -1;
  }
}

}  // namespace

bool TOrvik7316MSDecode::IsReplaying() const {
  const TGPSMarkSource* const source = MarkSource.load();
  return source != nullptr && IsReplay(source);
}

// --- Receive path -----------------------------------------------------------

void TOrvik7316MSDecode::ReceiveBytes(const void* data, int32_t count, int32_t) {
  if (data == nullptr || !Parser) return;
  try {
    Parser->Feed(data, count);
  } catch (...) {
    // Nothing leaves this slot; the frame handler already contains its own.
  }
}

void TOrvik7316MSDecode::HandleFrameThunk(void* context, void*, const TByteString& frame) {
  static_cast<TOrvik7316MSDecode*>(context)->HandleFrame(frame);
}

void TOrvik7316MSDecode::HandleFrame(const TByteString& frame) {
  FrameBytes += static_cast<uint32_t>(frame.size());  // wraps
  try {
    if (SessionMode == smConnecting) {
      ConnectStep(frame);
    } else if (SessionMode == smTesting) {
      TestStep(frame);
    }
  } catch (...) {
    // A frame whose handling fails (decoding library, record copy, clock) is
    // dropped here, so the frames behind it in the same chunk still count.
  }
}

void TOrvik7316MSDecode::ConnectStep(const TByteString& frame) {
  if (SpanReaches(LocalNow() - ConnectStartTime, ConnectTimeoutDays)) {
    SessionMode = smIdle;
    return;
  }
  if (Gain_GSM_Connect_Data(DecoderDeviceCode, frame.Raw())) {
    Connected = true;
    ReceivedCount = 0;
    SetSessionMode(smIdle);  // slot 15
  }
}

void TOrvik7316MSDecode::TestStep(const TByteString& frame) {
  if (frame.empty()) return;
  CurrentFrame = frame;
  if (!DecodeTestFrame(CurrentFrame) || !LogEnabled) return;
  try {
    LogFile.WriteLine(CurrentFrame.view());
  } catch (const std::exception&) {
    // No file open (the name was cleared or could not be created) or a
    // failed write: the record is stored all the same and the log misses
    // this line only.
  }
}

bool TOrvik7316MSDecode::DecodeTestFrame(const TByteString& frame) {
  if (Watcher) Watcher->Poke();
  if (!Gain_GSM_Test_Data(DecoderDeviceCode, frame.Raw(), FieldStore, DecodeState)) return false;
  TTestDataRecord* const record = FieldStore->AttachedRecord();
  if (record == nullptr) return false;
  TrackCallState(*record);
  if (Port != nullptr) {
    record->TimeStamp1 = Port->CurrentTime();
    record->TimeStamp2 = Port->CurrentTime();
  } else {
    record->TimeStamp1 = NoValue;
    record->TimeStamp2 = NoValue;
  }
  SetDedicatedMode(record->HostSetting != 0);  // slot 54
  StoreRecord(*record);
  HasNewRecords = true;
  if (!IsReplaying()) RefreshReports();
  return true;
}

void TOrvik7316MSDecode::TrackCallState(const TTestDataRecord& record) {
  const int state = CallStateFor(MessageIdOf(record));
  if (state >= 0) SetCallState(static_cast<uint8_t>(state));  // slot 59
}

void TOrvik7316MSDecode::StoreRecord(const TTestDataRecord& record) {
  TTestDataRecord* const copy = CopyTestData(&record);
  try {
    StoredRecords->AddRecord(copy);
  } catch (...) {
    FreeTestData(copy);
    throw;
  }
  ++ReceivedCount;
}

// --- Session modes ----------------------------------------------------------

void TOrvik7316MSDecode::Connect(bool alreadyConnected) {
  if (alreadyConnected) {
    Connected = true;
    return;
  }
  Connected = false;
  ConnectStartTime = LocalNow();
  SetSessionMode(smConnecting);  // slot 15
  TDevicePort* const port = GetPort();  // slot 9
  if (port != nullptr && !port->IsOpen()) port->Open(true);
  PreparePort();
  SendConnectRequest(true);  // slot 43
}

void TOrvik7316MSDecode::Disconnect() {
  if (!IsReplaying()) Pause(DisconnectPauseMs);
  SessionMode = smClosed;
}

void TOrvik7316MSDecode::EnterIdle() { SessionMode = smIdle; }

void TOrvik7316MSDecode::StartTest() {
  EnterIdle();  // slot 22
  SessionMode = smTesting;
  SetDedicatedMode(false);  // slot 54
  const bool hasMarkSource = MarkSource.load() != nullptr;
  if (hasMarkSource) ResetPositions();
  HasNewRecords = false;
  PositionsChanged = false;
  if (hasMarkSource) {
    StopAndJoinWatcher();
    Watcher = std::make_unique<TMSWatcher>(this);
    Watcher->SetOnSilence(&TOrvik7316MSDecode::SilenceHandler, this);
  }
  if (Port != nullptr) TestStartTime = Port->CurrentTime();
}

void TOrvik7316MSDecode::ResetAndStartTest() {
  ReceivedCount = 0;
  FirstUnstamped = 0;
  RunStartupSequence();
}

void TOrvik7316MSDecode::StopTest() {
  SessionMode = smIdle;
  Pause(StopPauseMs);
  StopAndJoinWatcher();
  ReleaseUnstamped();
}

// --- Watcher ----------------------------------------------------------------

void TOrvik7316MSDecode::SilenceHandler(void*, TMSWatcher*) {
  // This handset needs no reaction to silence.
}

void TOrvik7316MSDecode::StopAndJoinWatcher() {
  if (!Watcher) return;
  Watcher->StopWatcher();
  Watcher->Join();  // ends within one wake-up
  Watcher.reset();
}

// --- Log file ---------------------------------------------------------------

void TOrvik7316MSDecode::SetLogFileName(PSharedStr name) {
  TByteString newName = TByteString::Share(name);
  if (newName == LogFileName) return;
  // Only a file that is open is closed: after a failed creation the name is
  // set but nothing is open, and the next name must still be taken.
  if (LogFile.IsOpen()) LogFile.Close();
  LogFileName = std::move(newName);
  if (!LogFileName.empty()) LogFile.Create(LogFileName.str());
}

void TOrvik7316MSDecode::SetLogEnabled(bool on) {
  if (LogFileName.empty()) {
    ShowUserMessage(NoLogFileMessage);
    return;
  }
  if (LogEnabled != on) LogEnabled = on;
}

// --- Throughput -------------------------------------------------------------

int32_t TOrvik7316MSDecode::GetThroughput() {
  const double now = LocalNow();
  int32_t rate = 0;
  if (LastRateTime != 0.0) {
    const uint32_t bytes = FrameBytes - LastRateBytes;  // wraps with the counter
    const double seconds = (now - LastRateTime) * SecondsPerDay;
    // A clock that stood still or went back gives no figure rather than a
    // negative or infinite one.
    if (seconds > 0.0) {
      const double perSecond = std::nearbyint(static_cast<double>(bytes) / seconds);
      if (perSecond >= -2147483648.0 && perSecond <= 2147483647.0) {
        rate = static_cast<int32_t>(perSecond);
      }
    }
  }
  LastRateBytes = FrameBytes;
  LastRateTime = now;
  return rate;
}
