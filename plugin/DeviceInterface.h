// The decoder interface: the table of 70 virtual operations through which a
// drive-test host drives a device plug-in's decoder.
//
// Levels: TVirtualDecode (slots 0..27) > TDeviceDecode (28..45) >
// THandSetDecode (46..69, plugin/HandsetDecode.h). Every slot is pure at these
// levels; the plug-in's decoder provides them.
//
// Where the slots sit in the table. A host calls the decoder by the position
// of an operation in its table of virtual operations. The virtual destructor
// is declared first, in TVirtualDecode, so that a host can release any
// decoder through a TVirtualDecode pointer; its entries therefore come before
// slot 0, and slot n sits at position n + DecoderSlotBase:
//   - Itanium C++ ABI (GCC and Clang, MinGW on Windows too, 32- and 64-bit):
//     positions 0 and 1 hold the destructor (complete, deleting); slot n is
//     at position n + 2.
//   - Microsoft C++ ABI (MSVC, clang-cl): position 0 holds the destructor
//     (scalar deleting); slot n is at position n + 1.
// The host's own objects (TDevicePort, THandsetFields) are laid out the
// other way round: slot n at position n, the destructor after the last slot.
// Each level appends its slots in declaration order and adds no fields; the
// checks at the end of this header and of HandsetDecode.h hold that on every
// target that includes them.
//
// Who calls: the host (and, for every slot, the decoder itself: inside the
// decoder each operation that has a slot is called through this table, so a
// derived decoder that overrides a slot changes every sequence using it).
// Threads: every operation runs on the thread that calls it and returns when
// done. The decoder takes no lock: calls into one decoder must not overlap.
// ReceiveBytes (19) belongs on the host's receive thread, SetLogEnabled (17)
// on its user-interface thread (it may show a message box).
// Ownership: objects passed in (port, mark source, records from the host's
// store) stay the host's. Strings passed in are borrowed for the call;
// strings handed out carry a reference the caller gives back with
// SharedStrRelease. Records returned by slot 36 stay in the decoder's stored
// list until the host releases them through slot 34.
// Errors: unless a slot says otherwise, failures are C++ exceptions derived
// from std::exception; ReceiveBytes never throws.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "host/DevicePort.h"
#include "host/GPSMarkData.h"
#include "host/SharedMM.h"

struct TTestDataRecord;

// Opaque 8 bytes the host keeps in the decoder (slots 2, 11).
struct THostBlock {
  uint8_t Bytes[8];
};

// Callbacks with context: the context goes back on every call; a callback
// counts as installed when Code is not null.
struct TRecordCountCallback {
  int32_t (*Code)(void* context, int32_t deviceNumber);  // records in the host's store
  void* Context;
};
struct TRecordAtCallback {
  // The record at `index` of the host's store, or null. It must stay valid
  // while the decoder writes its position.
  TTestDataRecord* (*Code)(void* context, int32_t deviceNumber, int32_t index);
  void* Context;
};
struct TAuxCallback {
  void (*Code)(void* context, int32_t deviceNumber);  // kept for the host; never called
  void* Context;
};

// Raised by a slot the concrete decoder does not provide.
class EAbstractError : public std::logic_error {
 public:
  explicit EAbstractError(const std::string& operation)
      : std::logic_error("Abstract call: " + operation + " is not provided by this decoder") {}
};

class TVirtualDecode {
 public:
  virtual ~TVirtualDecode() = default;

  // slot 0: Returns `Connected`.
  virtual bool IsConnected() = 0;
  // slot 1: Returns the host's flag byte.
  virtual uint8_t GetHostFlag() = 0;
  // slot 2: Returns the host's 8-byte block.
  virtual THostBlock GetHostBlock() = 0;
  // slot 3: Returns the mark source (borrowed).
  virtual TGPSMarkSource* GetMarkSource() = 0;
  // slot 4: Returns the last mark used for stamping.
  virtual TPositionBlock GetLastPosition() = 0;
  // slot 5: Stores a new reference to the log file name in *result (null when none); the previous value of *result is overwritten, not released. The caller releases the string with SharedStrRelease.
  virtual void GetLogFileName(PSharedStr* result) = 0;
  // slot 6: Returns the session mode (0 idle, 1 connecting, 2 closed, 3 testing).
  virtual uint8_t GetSessionMode() = 0;
  // slot 7: Returns the host's value A.
  virtual int32_t GetHostValueA() = 0;
  // slot 8: Returns whether decoded test frames are logged.
  virtual bool GetLogEnabled() = 0;
  // slot 9: Returns the port (borrowed).
  virtual TDevicePort* GetPort() = 0;
  // slot 10: Stores the host's flag byte.
  virtual void SetHostFlag(uint8_t value) = 0;
  // slot 11: Stores the host's 8-byte block.
  virtual void SetHostBlock(const THostBlock& block) = 0;
  // slot 12: Replaces the mark source (borrowed; may be null).
  virtual void SetMarkSource(TGPSMarkSource* source) = 0;
  // slot 13: Overwrites the last mark used for stamping; stamps nothing.
  virtual void SetLastPosition(const TPositionBlock& block) = 0;
  // slot 14: Closes the old log file and creates the new one (replacing any file of that name); an empty name closes only. `name` is borrowed. Throws std::ios_base::failure when the file cannot be closed or created.
  virtual void SetLogFileName(PSharedStr name) = 0;
  // slot 15: Stores the session mode unchecked.
  virtual void SetSessionMode(uint8_t mode) = 0;
  // slot 16: Stores the host's value A.
  virtual void SetHostValueA(int32_t value) = 0;
  // slot 17: Switches logging; while no file name is set, shows the user message "Please Set the LogFileName First !!!" and changes nothing. UI thread.
  virtual void SetLogEnabled(bool on) = 0;
  // slot 18: Replaces the port (borrowed).
  virtual void SetPort(TDevicePort* port) = 0;
  // slot 19: Feeds received bytes to the frame parser; every decoded test frame is stored, logged and followed by a report refresh before this returns. Never throws. Receive thread.
  virtual void ReceiveBytes(const void* data, int32_t count, int32_t ignored) = 0;
  // slot 20: True: only marks the decoder connected. False: starts the connect handshake (opens and prepares the port, sends the connect request).
  virtual void Connect(bool alreadyConnected) = 0;
  // slot 21: Pauses 100 ms (not in replay), then closes the session (mode 2).
  virtual void Disconnect() = 0;
  // slot 22: Session mode := idle.
  virtual void EnterIdle() = 0;
  // slot 23: Enters testing mode, resets the positions and starts a watcher thread. Sends nothing.
  virtual void StartTest() = 0;
  // slot 24: Resets the counters, purges the port, starts the test and sends the 15 start-up commands.
  virtual void ResetAndStartTest() = 0;
  // slot 25: Back to idle, stops the watcher, releases the records still waiting for a position.
  virtual void StopTest() = 0;
  // slot 26: Does nothing.
  virtual void ReservedPairA(int32_t a, int32_t b) = 0;
  // slot 27: Does nothing.
  virtual void ReservedPairB(int32_t a, int32_t b) = 0;
};

class TDeviceDecode : public TVirtualDecode {
 public:
  ~TDeviceDecode() override = default;

  // slot 28: Whether a decoded record has been stored since the last clear.
  virtual bool GetHasNewRecords() = 0;
  // slot 29: Whether positions were stamped or records released since the last acknowledgement (slot 35).
  virtual bool GetPositionsChanged() = 0;
  // slot 30: The lowest host record index the decoder may touch.
  virtual int32_t GetMinRecordIndex() = 0;
  // slot 31: Sets the lowest host record index the decoder may touch.
  virtual void SetMinRecordIndex(int32_t value) = 0;
  // slot 32: Returns false.
  virtual bool ReservedQueryA() = 0;
  // slot 33: Not provided by this decoder: throws EAbstractError.
  virtual void ReservedAbstractA() = 0;
  // slot 34: Releases, with FreeTestData, the record slot 36 gives for `index` and clears that entry, so it then reads as null and a second release does nothing; true. True also when slot 36 gives null (index out of range or released before). False when the record is one FreeTestData leaves alone (it carries the static mark, bit 31 of HeaderWord, or is a sentinel): nothing is released and the entry stays.
  virtual bool FreeStoredRecord(int32_t index) = 0;
  // slot 35: Index of the last host record whose position is final (-1 when none); acknowledges: clears GetPositionsChanged.
  virtual int32_t LastStampedIndex() = 0;
  // slot 36: The stored record at `index` (borrowed until released through slot 34), or null outside 0..count-1 or after its release.
  virtual TTestDataRecord* GetStoredRecord(int32_t index) = 0;
  // slot 37: Empties the stored list without releasing the records (release them first through slot 34); true.
  virtual bool ClearStoredRecords() = 0;
  // slot 38: Number of stored records while GetHasNewRecords is set, else 0.
  virtual int32_t GetStoredRecordCount() = 0;
  // slot 39: Closes the port, pauses 20 ms, reopens it, purges, starts the test and sends the 15 start-up commands.
  virtual void ReopenAndStartTest() = 0;
  // slot 40: Returns false.
  virtual bool ReservedQueryB() = 0;
  // slot 41: Returns false.
  virtual bool ReservedQueryC() = 0;
  // slot 42: Returns false.
  virtual bool ReservedQueryD() = 0;
  // slot 43: Sends the connect request unless the host replays.
  virtual void SendConnectRequest(bool ignored) = 0;
  // slot 44: A new GPS fix: stamps positions onto the host's waiting records (through the two record callbacks).
  virtual void NewPosition(const TPositionBlock& block) = 0;
  // slot 45: Not provided by this decoder: throws EAbstractError.
  virtual void ReservedAbstractB() = 0;
};

// Table position of slot 0 (see the top of this header).
#if defined(_MSC_VER)
inline constexpr int DecoderSlotBase = 1;
#elif defined(__GXX_ABI_VERSION)
inline constexpr int DecoderSlotBase = 2;
#else
#error "Unknown C++ ABI: say where the decoder's slots sit in its table"
#endif

static_assert(std::has_virtual_destructor_v<TVirtualDecode>,
              "a host releases the decoder through TVirtualDecode");
static_assert(std::is_base_of_v<TVirtualDecode, TDeviceDecode> && std::is_abstract_v<TVirtualDecode> &&
              std::is_abstract_v<TDeviceDecode>);
static_assert(sizeof(TVirtualDecode) == sizeof(void*) && sizeof(TDeviceDecode) == sizeof(void*),
              "an interface level is one table pointer and adds no fields");
static_assert(sizeof(THostBlock) == 8 && sizeof(TRecordCountCallback) == 2 * sizeof(void*) &&
                  sizeof(TRecordAtCallback) == 2 * sizeof(void*) &&
                  sizeof(TAuxCallback) == 2 * sizeof(void*),
              "exchange formats of slots 2, 11, 50..52 and 56..58");
