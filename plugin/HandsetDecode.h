// THandSetDecode: the handset level of the decoder interface (slots 46..69).
// See plugin/DeviceInterface.h for threads, ownership and errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "plugin/DeviceInterface.h"

// The host's call-settings record, as slot 63 reads it: the number to dial
// is the byte string in its second field.
struct TCallSettings {
  int32_t Reserved;
  PSharedStr Number;  // borrowed; null is the empty number
};
// The 32-bit host puts the number at byte offset 4; a 64-bit build aligns
// the pointer to 8.
static_assert(offsetof(TCallSettings, Number) == (sizeof(void*) == 4 ? 4 : 8),
              "TCallSettings is an exchange format");
static_assert(sizeof(TCallSettings) == 2 * sizeof(void*), "TCallSettings is an exchange format");

// A list of byte strings handed to the host (slot 63). The host owns it and
// releases it with `delete`; the strings live as long as the list (take a
// reference with SharedStrAddRef to keep one longer).
class TStringList {
 public:
  virtual ~TStringList() = default;
  virtual int32_t Count() const = 0;
  // The string at `index` (borrowed; null when empty or out of range).
  virtual PSharedStr Item(int32_t index) const = 0;
};

class THandSetDecode : public TDeviceDecode {
 public:
  ~THandSetDecode() override = default;

  // slot 46: Not provided by this decoder: throws EAbstractError.
  virtual void ReservedAbstractC() = 0;
  // slot 47: Returns the host's value B.
  virtual int32_t GetHostValueB() = 0;
  // slot 48: Whether the last decoded record came from dedicated mode (chooses the report refresh).
  virtual bool IsDedicatedMode() = 0;
  // slot 49: The number this device has in the host; passed to the record callbacks.
  virtual int32_t GetDeviceNumber() = 0;
  // slot 50: The installed record-count callback.
  virtual TRecordCountCallback GetRecordCountCallback() = 0;
  // slot 51: The installed record-at callback.
  virtual TRecordAtCallback GetRecordAtCallback() = 0;
  // slot 52: The stored auxiliary callback.
  virtual TAuxCallback GetAuxCallback() = 0;
  // slot 53: Call state: 0 idle, 1 alerting, 2 connected, 3 released.
  virtual uint8_t GetCallState() = 0;
  // slot 54: Stores the dedicated-mode flag.
  virtual void SetDedicatedMode(bool value) = 0;
  // slot 55: Sets the device number passed to the record callbacks.
  virtual void SetDeviceNumber(int32_t value) = 0;
  // slot 56: Installs the record-count callback (installed when Code is not null).
  virtual void SetRecordCountCallback(TRecordCountCallback callback) = 0;
  // slot 57: Installs the record-at callback (installed when Code is not null).
  virtual void SetRecordAtCallback(TRecordAtCallback callback) = 0;
  // slot 58: Stores the auxiliary callback; never called.
  virtual void SetAuxCallback(TAuxCallback callback) = 0;
  // slot 59: Stores the call state if it differs.
  virtual void SetCallState(uint8_t state) = 0;
  // slot 60: Stores the host's value B.
  virtual void SetHostValueB(int32_t value) = 0;
  // slot 61: Returns 10, the device code passed to the decoding library.
  virtual uint8_t GetDecoderCode() = 0;
  // slot 62: Not provided by this decoder: throws EAbstractError.
  virtual void ReservedAbstractD() = 0;
  // slot 63: A new list holding one call-control text for `action` (0 dial `settings->Number`, 1 hang up, 2 answer); a dial number holding anything but digits, '*', '#', p, w and a leading '+' gives one empty line. Nothing is sent. The caller owns the list and releases it with `delete`.
  virtual TStringList* BuildCallCommand(int32_t action, const TCallSettings* settings) = 0;
  // slot 64: Copies the working record's StateByte into its ReportedStateByte when they differ.
  virtual void SyncReportedState(int32_t ignored) = 0;
  // slot 65: Stores the low byte in the working record's HostSetting byte.
  virtual void SetHostSetting(int32_t value) = 0;
  // slot 66: Does nothing.
  virtual void ReservedValueA(int32_t value) = 0;
  // slot 67: Does nothing.
  virtual void ReservedValueB(int32_t value) = 0;
  // slot 68: Frame bytes per second since the previous call (0 on the first call).
  virtual int32_t GetThroughput() = 0;
  // slot 69: Does nothing.
  virtual void ReservedValueC(int32_t value) = 0;
};

static_assert(std::is_base_of_v<TDeviceDecode, THandSetDecode> && std::is_abstract_v<THandSetDecode>);
static_assert(sizeof(THandSetDecode) == sizeof(void*), "an interface level adds no fields");
