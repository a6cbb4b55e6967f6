// The decoder's construction, destruction and its plain accessor slots.
// Session control, command sequences, position stamping and the watcher live
// in their own files (see Orvik7316MSDecode.h).
#include "plugin/Orvik7316MSDecode.h"

#include <memory>
#include <stdexcept>

#include "platform/DateTime.h"
#include "platform/Sleep.h"
#include "serial/ParseBinary.h"
#include "support/MyClasses.h"
#include "testdata/DataAccessAPIUnit.h"
#include "testdata/TestDataBox.h"

namespace {

double SystemNow(void*) { return LocalDateTimeNow(); }
void SystemPause(void*, uint32_t ms) { SleepMs(ms); }

}  // namespace

// Constant-initialised, so decoders built during other units' start-up see it.
extern const TDecoderClock SystemDecoderClock{&SystemNow, &SystemPause, nullptr};

// ---------------------------------------------------------------------------
// Construction and destruction

TOrvik7316MSDecode* TOrvik7316MSDecode::Create(TDevicePort* port, TGPSMarkSource* markSource) {
  return CreateWith(port, markSource, NewHandsetFieldsInstance());
}

TOrvik7316MSDecode* TOrvik7316MSDecode::CreateWith(TDevicePort* port, TGPSMarkSource* markSource,
                                                   THandsetFields* fieldStore) {
  std::unique_ptr<THandsetFields> store(fieldStore);
  if (!store) return nullptr;
  auto* decoder = new TOrvik7316MSDecode(port, markSource, store.get());
  store.release();
  return decoder;
}

TOrvik7316MSDecode::TOrvik7316MSDecode(TDevicePort* port, TGPSMarkSource* markSource,
                                       THandsetFields* fieldStore) {
  CommandList = std::make_unique<TIntegerArray>();
  CommandList->Duplicates = dupIgnore;

  HasNewRecords = false;
  PositionsChanged = false;
  CurrentFrame = TByteString();

  // A missing mark source counts as live work: nothing to replay.
  Connected = IsReplay(markSource);

  LogEnabled = false;
  FrameBytes = 0;
  SessionMode = smClosed;
  DedicatedMode = false;

  if (!fieldStore) throw std::invalid_argument("The decoder needs a field store");
  FieldStore = fieldStore;
  CurrentRecord = NewTestData(tdkGSM);
  try {
    FieldStore->AttachRecord(CurrentRecord);

    Parser = std::make_unique<TSerialBinaryParse>(this);
    Parser->SetMode(fmTextLine);
    Parser->SetOnFrame(&HandleFrameThunk, this);

    MarkSource = markSource;
    LastBlock = TPositionBlock{0.0, 0.0, 0.0};
    Port = port;

    StoredRecords = std::make_unique<TTstDataBox>();
  } catch (...) {
    // The store goes back to the caller as it came: with nothing attached.
    FieldStore->AttachRecord(nullptr);
    FieldStore = nullptr;
    FreeTestData(CurrentRecord);
    CurrentRecord = nullptr;
    throw;
  }
}

TOrvik7316MSDecode::~TOrvik7316MSDecode() {
  // The watcher reads this decoder: it must be gone before anything else is.
  if (Watcher) StopAndJoinWatcher();
  if (LogFile.IsOpen()) {
    try {
      LogFile.Close();
    } catch (const std::exception&) {
      // Nobody is left to tell; the file is closed all the same.
    }
  }

  CommandList.reset();
  if (FieldStore) {
    FieldStore->AttachRecord(nullptr);
    delete FieldStore;
    FieldStore = nullptr;
  }
  FreeTestData(CurrentRecord);
  CurrentRecord = nullptr;
  // The box's records are the host's; it releases them through slot 34.
  StoredRecords.reset();
  Parser.reset();
}

// ---------------------------------------------------------------------------
// Slots 0..18: values kept for the host

bool TOrvik7316MSDecode::IsConnected() { return Connected; }
uint8_t TOrvik7316MSDecode::GetHostFlag() { return HostFlag; }
THostBlock TOrvik7316MSDecode::GetHostBlock() { return HostBlock; }
TGPSMarkSource* TOrvik7316MSDecode::GetMarkSource() { return MarkSource.load(); }
TPositionBlock TOrvik7316MSDecode::GetLastPosition() { return LastBlock; }

void TOrvik7316MSDecode::GetLogFileName(PSharedStr* result) {
  TByteString copy = LogFileName;
  *result = copy.Detach();
}

uint8_t TOrvik7316MSDecode::GetSessionMode() { return SessionMode; }
int32_t TOrvik7316MSDecode::GetHostValueA() { return HostValueA; }
bool TOrvik7316MSDecode::GetLogEnabled() { return LogEnabled; }
TDevicePort* TOrvik7316MSDecode::GetPort() { return Port; }
void TOrvik7316MSDecode::SetHostFlag(uint8_t value) { HostFlag = value; }
void TOrvik7316MSDecode::SetHostBlock(const THostBlock& block) { HostBlock = block; }
void TOrvik7316MSDecode::SetMarkSource(TGPSMarkSource* source) { MarkSource = source; }
void TOrvik7316MSDecode::SetLastPosition(const TPositionBlock& block) { LastBlock = block; }
void TOrvik7316MSDecode::SetSessionMode(uint8_t mode) { SessionMode = mode; }
void TOrvik7316MSDecode::SetHostValueA(int32_t value) { HostValueA = value; }
void TOrvik7316MSDecode::SetPort(TDevicePort* port) { Port = port; }

void TOrvik7316MSDecode::ReservedPairA(int32_t, int32_t) {}
void TOrvik7316MSDecode::ReservedPairB(int32_t, int32_t) {}

// ---------------------------------------------------------------------------
// Slots 28..45: stored records and reserved operations

bool TOrvik7316MSDecode::GetHasNewRecords() { return HasNewRecords; }
bool TOrvik7316MSDecode::GetPositionsChanged() { return PositionsChanged; }
int32_t TOrvik7316MSDecode::GetMinRecordIndex() { return MinRecordIndex; }
void TOrvik7316MSDecode::SetMinRecordIndex(int32_t value) { MinRecordIndex = value; }
bool TOrvik7316MSDecode::ReservedQueryA() { return false; }

void TOrvik7316MSDecode::ReservedAbstractA() { throw EAbstractError("ReservedAbstractA"); }

bool TOrvik7316MSDecode::FreeStoredRecord(int32_t index) {
  TTestDataRecord* const record = GetStoredRecord(index);  // slot 36
  if (record == nullptr) return true;  // out of range, or released before
  // A record FreeTestData leaves alone (static mark, sentinel) stays alive,
  // so its entry stays too: the host keeps its way to it.
  if (!IsReleasableTestData(record)) return false;
  // Forgotten before it is released: the box never hands out freed memory,
  // and a second release finds nothing.
  StoredRecords->ForgetRecord(record, index);
  FreeTestData(record);
  return true;
}

TTestDataRecord* TOrvik7316MSDecode::GetStoredRecord(int32_t index) {
  return StoredRecords->GetRecord(index);
}

bool TOrvik7316MSDecode::ClearStoredRecords() {
  const bool cleared = StoredRecords->ClearRecords();
  HasNewRecords = false;
  return cleared;
}

int32_t TOrvik7316MSDecode::GetStoredRecordCount() {
  return HasNewRecords ? StoredRecords->CountRecords() : 0;
}

bool TOrvik7316MSDecode::ReservedQueryB() { return false; }
bool TOrvik7316MSDecode::ReservedQueryC() { return false; }
bool TOrvik7316MSDecode::ReservedQueryD() { return false; }

void TOrvik7316MSDecode::ReservedAbstractB() { throw EAbstractError("ReservedAbstractB"); }

// ---------------------------------------------------------------------------
// Slots 46..69: handset values and the working record

void TOrvik7316MSDecode::ReservedAbstractC() { throw EAbstractError("ReservedAbstractC"); }

int32_t TOrvik7316MSDecode::GetHostValueB() { return HostValueB; }
bool TOrvik7316MSDecode::IsDedicatedMode() { return DedicatedMode; }
int32_t TOrvik7316MSDecode::GetDeviceNumber() { return DeviceNumber; }
TRecordCountCallback TOrvik7316MSDecode::GetRecordCountCallback() { return RecordCountCallback; }
TRecordAtCallback TOrvik7316MSDecode::GetRecordAtCallback() { return RecordAtCallback; }
TAuxCallback TOrvik7316MSDecode::GetAuxCallback() { return AuxCallback; }
uint8_t TOrvik7316MSDecode::GetCallState() { return CallState; }
void TOrvik7316MSDecode::SetDedicatedMode(bool value) { DedicatedMode = value; }
void TOrvik7316MSDecode::SetDeviceNumber(int32_t value) { DeviceNumber = value; }

void TOrvik7316MSDecode::SetRecordCountCallback(TRecordCountCallback callback) {
  RecordCountCallback = callback;
}

void TOrvik7316MSDecode::SetRecordAtCallback(TRecordAtCallback callback) {
  RecordAtCallback = callback;
}

void TOrvik7316MSDecode::SetAuxCallback(TAuxCallback callback) { AuxCallback = callback; }

void TOrvik7316MSDecode::SetCallState(uint8_t state) {
  if (CallState != state) CallState = state;
}

void TOrvik7316MSDecode::SetHostValueB(int32_t value) { HostValueB = value; }
uint8_t TOrvik7316MSDecode::GetDecoderCode() { return DecoderDeviceCode; }

void TOrvik7316MSDecode::ReservedAbstractD() { throw EAbstractError("ReservedAbstractD"); }

void TOrvik7316MSDecode::SyncReportedState(int32_t) {
  if (CurrentRecord->ReportedStateByte != CurrentRecord->StateByte) {
    CurrentRecord->ReportedStateByte = CurrentRecord->StateByte;
  }
}

void TOrvik7316MSDecode::SetHostSetting(int32_t value) {
  CurrentRecord->HostSetting = static_cast<uint8_t>(value & 0xFF);
}

void TOrvik7316MSDecode::ReservedValueA(int32_t) {}
void TOrvik7316MSDecode::ReservedValueB(int32_t) {}
void TOrvik7316MSDecode::ReservedValueC(int32_t) {}
