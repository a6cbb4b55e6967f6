// TOrvik7316MSDecode: the decoder of the Orvik7316 GSM test handset, and
// TMSWatcher, the thread that notices a handset gone silent during a test.
//
// The host obtains a decoder from GetDllDevice and drives it only through the
// decoder interface (plugin/HandsetDecode.h). Inside the decoder every
// operation that has a slot is called through that interface, never directly.
//
// The implementation is split by concern:
//   Orvik7316MSDecode.cpp  construction, destruction, accessor slots
//   SessionControl.cpp     session modes, receive path, log file, throughput
//   CommandSequences.cpp   port preparation and the handset command sequences
//   PositionStamping.cpp   GPS positions onto the host's records
//   MSWatcher.cpp          the watcher thread
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>

#include "host/MarkSourceAccess.h"
#include "host/HandsetFields.h"
#include "platform/ByteString.h"
#include "platform/Event.h"
#include "platform/TextLogFile.h"
#include "plugin/HandsetDecode.h"

class TSerialBinaryParse;
class TTstDataBox;
class TIntegerArray;
class TOrvik7316MSDecode;

// The device code the decoder passes to both functions of the decoding
// library (and reports through slot 61).
constexpr uint8_t DecoderDeviceCode = 10;

// Session modes (SessionMode).
enum TSessionMode : uint8_t { smIdle = 0, smConnecting = 1, smClosed = 2, smTesting = 3 };
// Call states (CallState).
enum TCallState : uint8_t { csIdle = 0, csAlerting = 1, csConnected = 2, csReleased = 3 };

// The decoder's local wall clock and its pauses. The system clock is the
// default; tests and simulating hosts pass their own so that time-outs,
// throughput and pauses can be driven without waiting.
struct TDecoderClock {
  double (*Now)(void* context);                // local date-time, days since 1899-12-30
  void (*Pause)(void* context, uint32_t ms);   // blocks the calling thread
  void* Context;
};
extern const TDecoderClock SystemDecoderClock;

// The watcher of a running test. Created by StartTest, told to stop by
// StopTest and by the next StartTest; the decoder joins it before forgetting
// it (it ends within one wake-up) and on destruction.
class TMSWatcher {
 public:
  using TSilenceEvent = void (*)(void* context, TMSWatcher* sender);

  // The decoder's watcher uses the defaults: a system event, 5000 ms, 5
  // marks. Tests pass an event of their own (borrowed; it must outlive the
  // watcher) to decide when a wait times out and what the time is.
  explicit TMSWatcher(TOrvik7316MSDecode* decoder, int32_t waitTimeoutMs = 5000,
                      int32_t markThreshold = 5, TWaitableEvent* wakeEvent = nullptr);
  // Stops and joins the thread.
  ~TMSWatcher();
  TMSWatcher(const TMSWatcher&) = delete;
  TMSWatcher& operator=(const TMSWatcher&) = delete;

  // Called on the watcher's own thread after a silent period. Any thread.
  void SetOnSilence(TSilenceEvent code, void* context);
  // A test frame arrived: notes the time, wakes no one. Receive thread.
  void Poke();
  // Requests termination and wakes the thread at once; does not wait.
  void StopWatcher();
  // Waits until the thread has ended (at once if it already has).
  void Join();

 private:
  void Execute();
  // Milliseconds until the silent period begun at `periodStart` (or at the
  // last poke, if later) is complete; 0 when it is.
  uint32_t MsLeft(int64_t periodStart);
  void ReportSilence();

  TOrvik7316MSDecode* const WatcherDecoder;
  TManualResetEvent SystemEvent;  // used unless the creator passes an event
  TWaitableEvent* const WakeEvent;
  const int32_t WaitTimeout;
  const int32_t MarkThreshold;
  std::atomic<TSilenceEvent> OnSilenceCode{nullptr};
  std::atomic<void*> OnSilenceContext{nullptr};
  std::atomic<bool> Terminated{false};
  std::atomic<int64_t> LastPokeMs{std::numeric_limits<int64_t>::min()};  // WakeEvent's clock; min: none yet
  std::thread Thread;  // last: starts once every field above is set
};

class TOrvik7316MSDecode : public THandSetDecode {
 public:
  // A new decoder on the host's port and mark source (both borrowed; either
  // may be null). Returns null when the field-store library yields no field
  // store (everything built so far is released). Throws on out of memory.
  static TOrvik7316MSDecode* Create(TDevicePort* port, TGPSMarkSource* markSource);
  ~TOrvik7316MSDecode() override;
  TOrvik7316MSDecode(const TOrvik7316MSDecode&) = delete;
  TOrvik7316MSDecode& operator=(const TOrvik7316MSDecode&) = delete;

  // Not a slot: replaces the local clock and pauses (see TDecoderClock).
  void SetClock(const TDecoderClock& clock) { Clock = clock; }

  // Read by the watcher thread.
  TGPSMarkSource* CurrentMarkSource() const { return MarkSource.load(); }
  int32_t CurrentLastMarkCount() const { return LastMarkCount.load(); }

  bool IsConnected() override;  // 0
  uint8_t GetHostFlag() override;  // 1
  THostBlock GetHostBlock() override;  // 2
  TGPSMarkSource* GetMarkSource() override;  // 3
  TPositionBlock GetLastPosition() override;  // 4
  void GetLogFileName(PSharedStr* result) override;  // 5
  uint8_t GetSessionMode() override;  // 6
  int32_t GetHostValueA() override;  // 7
  bool GetLogEnabled() override;  // 8
  TDevicePort* GetPort() override;  // 9
  void SetHostFlag(uint8_t value) override;  // 10
  void SetHostBlock(const THostBlock& block) override;  // 11
  void SetMarkSource(TGPSMarkSource* source) override;  // 12
  void SetLastPosition(const TPositionBlock& block) override;  // 13
  void SetLogFileName(PSharedStr name) override;  // 14
  void SetSessionMode(uint8_t mode) override;  // 15
  void SetHostValueA(int32_t value) override;  // 16
  void SetLogEnabled(bool on) override;  // 17
  void SetPort(TDevicePort* port) override;  // 18
  void ReceiveBytes(const void* data, int32_t count, int32_t ignored) override;  // 19
  void Connect(bool alreadyConnected) override;  // 20
  void Disconnect() override;  // 21
  void EnterIdle() override;  // 22
  void StartTest() override;  // 23
  void ResetAndStartTest() override;  // 24
  void StopTest() override;  // 25
  void ReservedPairA(int32_t a, int32_t b) override;  // 26
  void ReservedPairB(int32_t a, int32_t b) override;  // 27
  bool GetHasNewRecords() override;  // 28
  bool GetPositionsChanged() override;  // 29
  int32_t GetMinRecordIndex() override;  // 30
  void SetMinRecordIndex(int32_t value) override;  // 31
  bool ReservedQueryA() override;  // 32
  void ReservedAbstractA() override;  // 33
  bool FreeStoredRecord(int32_t index) override;  // 34
  int32_t LastStampedIndex() override;  // 35
  TTestDataRecord* GetStoredRecord(int32_t index) override;  // 36
  bool ClearStoredRecords() override;  // 37
  int32_t GetStoredRecordCount() override;  // 38
  void ReopenAndStartTest() override;  // 39
  bool ReservedQueryB() override;  // 40
  bool ReservedQueryC() override;  // 41
  bool ReservedQueryD() override;  // 42
  void SendConnectRequest(bool ignored) override;  // 43
  void NewPosition(const TPositionBlock& block) override;  // 44
  void ReservedAbstractB() override;  // 45
  void ReservedAbstractC() override;  // 46
  int32_t GetHostValueB() override;  // 47
  bool IsDedicatedMode() override;  // 48
  int32_t GetDeviceNumber() override;  // 49
  TRecordCountCallback GetRecordCountCallback() override;  // 50
  TRecordAtCallback GetRecordAtCallback() override;  // 51
  TAuxCallback GetAuxCallback() override;  // 52
  uint8_t GetCallState() override;  // 53
  void SetDedicatedMode(bool value) override;  // 54
  void SetDeviceNumber(int32_t value) override;  // 55
  void SetRecordCountCallback(TRecordCountCallback callback) override;  // 56
  void SetRecordAtCallback(TRecordAtCallback callback) override;  // 57
  void SetAuxCallback(TAuxCallback callback) override;  // 58
  void SetCallState(uint8_t state) override;  // 59
  void SetHostValueB(int32_t value) override;  // 60
  uint8_t GetDecoderCode() override;  // 61
  void ReservedAbstractD() override;  // 62
  TStringList* BuildCallCommand(int32_t action, const TCallSettings* settings) override;  // 63
  void SyncReportedState(int32_t ignored) override;  // 64
  void SetHostSetting(int32_t value) override;  // 65
  void ReservedValueA(int32_t value) override;  // 66
  void ReservedValueB(int32_t value) override;  // 67
  int32_t GetThroughput() override;  // 68
  void ReservedValueC(int32_t value) override;  // 69

 protected:
  // Create with a field store of the caller's: null gives null; otherwise the
  // new decoder owns the store (released by the caller's side only when
  // construction throws, which this function does for it).
  static TOrvik7316MSDecode* CreateWith(TDevicePort* port, TGPSMarkSource* markSource,
                                        THandsetFields* fieldStore);
  // Builds the decoder around `fieldStore` (not null, else
  // std::invalid_argument). On success the decoder owns the store; when the
  // constructor throws, the store stays the caller's, detached.
  TOrvik7316MSDecode(TDevicePort* port, TGPSMarkSource* markSource, THandsetFields* fieldStore);

 private:
  // Receive path (SessionControl.cpp).
  static void HandleFrameThunk(void* context, void* owner, const TByteString& frame);
  void HandleFrame(const TByteString& frame);
  void ConnectStep(const TByteString& frame);
  void TestStep(const TByteString& frame);
  bool DecodeTestFrame(const TByteString& frame);
  void TrackCallState(const TTestDataRecord& record);
  void StoreRecord(const TTestDataRecord& record);
  bool IsReplaying() const;  // false when no mark source is attached
  double LocalNow() const { return Clock.Now(Clock.Context); }
  void Pause(uint32_t ms) const { Clock.Pause(Clock.Context, ms); }

  // Command sequences (CommandSequences.cpp).
  void SendCommand(int32_t index);
  void SendCommandList(const TIntegerArray& list);
  void RunStartupSequence();
  void RefreshReports();
  void PreparePort();

  // Position stamping (PositionStamping.cpp).
  void StampOnNewMark();
  bool StampFirstMark(const TPositionBlock& mark);
  bool InterpolateMarks(const TPositionBlock& mark);
  void StampTail(const TPositionBlock& mark);
  // Gives the mark's position to every host record from `first` to the
  // store's current end; returns the count it read.
  int32_t StampFrom(int32_t first, const TPositionBlock& mark);
  void ReleaseUnstamped();
  void ResetPositions();
  int32_t HostRecordCount() const;
  TTestDataRecord* HostRecordAt(int32_t index) const;

  // Watcher (MSWatcher.cpp / SessionControl.cpp).
  static void SilenceHandler(void* context, TMSWatcher* sender);
  void StopAndJoinWatcher();

  // State, in the order the host's design lists it.
  THandsetFields* FieldStore = nullptr;
  TTestDataRecord* CurrentRecord = nullptr;
  std::unique_ptr<TSerialBinaryParse> Parser;
  TDevicePort* Port = nullptr;
  uint8_t SessionMode = smClosed;
  bool HasNewRecords = false;
  bool PositionsChanged = false;
  bool LogEnabled = false;
  int32_t ReceivedCount = 0;
  bool Connected = false;
  uint8_t HostFlag = 0;
  THostBlock HostBlock{};
  int32_t MinRecordIndex = 0;
  double ConnectStartTime = 0.0;
  std::atomic<TGPSMarkSource*> MarkSource{nullptr};
  TPositionBlock LastBlock{0.0, 0.0, 0.0};
  double LastRateTime = 0.0;
  uint32_t FrameBytes = 0;     // wraps as a 32-bit count
  uint32_t LastRateBytes = 0;
  bool DedicatedMode = false;
  uint8_t CallState = csIdle;
  int32_t HostValueA = 0;
  int32_t DeviceNumber = 0;
  TRecordCountCallback RecordCountCallback{nullptr, nullptr};
  TRecordAtCallback RecordAtCallback{nullptr, nullptr};
  TAuxCallback AuxCallback{nullptr, nullptr};
  TByteString LogFileName;
  TTextLogFile LogFile;
  TByteString CurrentFrame;
  std::atomic<int32_t> LastMarkCount{0};
  int32_t FirstUnstamped = 0;
  std::unique_ptr<TTstDataBox> StoredRecords;
  std::unique_ptr<TMSWatcher> Watcher;
  double TestStartTime = 0.0;
  std::unique_ptr<TIntegerArray> CommandList;
  int32_t HostValueB = 0;
  uint8_t DecodeState[8] = {};

  TDecoderClock Clock = SystemDecoderClock;
};
