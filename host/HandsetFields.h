// THandsetFields: the field store of the host's field-store library (Tessik).
//
// The GSM decoding library (Velmar) writes decoded values through it into the
// test data record attached to it. The plug-in creates one with
// NewHandsetFieldsInstance, owns it, attaches its working record, and
// releases it through the virtual destructor (after attaching none).
// Operations are called by slot position: 9 AttachedRecord, 10 AttachRecord;
// positions 0..8 are reserved operations of the host's object.
//
// Threads: used only from calls into the decoder that owns it.
#pragma once

#include "host/HostApi.h"

struct TTestDataRecord;

#if defined(ORVIK_BUILDING_TESSIK)
#define ORVIK_TESSIK_API ORVIK_EXPORT
#else
#define ORVIK_TESSIK_API ORVIK_IMPORT
#endif

class THandsetFields {
 public:
  virtual void ReservedSlot00() {}  // slot 0
  virtual void ReservedSlot01() {}  // slot 1
  virtual void ReservedSlot02() {}  // slot 2
  virtual void ReservedSlot03() {}  // slot 3
  virtual void ReservedSlot04() {}  // slot 4
  virtual void ReservedSlot05() {}  // slot 5
  virtual void ReservedSlot06() {}  // slot 6
  virtual void ReservedSlot07() {}  // slot 7
  virtual void ReservedSlot08() {}  // slot 8
  // slot 9: the attached record (borrowed; null when none is attached).
  virtual TTestDataRecord* AttachedRecord() = 0;
  // slot 10: attaches a record (borrowed: the caller keeps ownership), or
  // detaches with null.
  virtual void AttachRecord(TTestDataRecord* record) = 0;

  virtual ~THandsetFields() = default;
};

extern "C" {
// Returns a new field store with no record attached, or null when none can
// be made. The caller owns it and releases it with `delete` (virtual destructor).
ORVIK_TESSIK_API THandsetFields* ORVIK_STDCALL NewHandsetFieldsInstance(void);
}
