// The field store of the stand-in field-store library: it holds the record
// that the decoding library fills, and nothing else.
#pragma once

#include "host/HandsetFields.h"

class THandsetFieldsStore final : public THandsetFields {
 public:
  // The attached record is borrowed: the store never allocates, copies or
  // releases it.
  TTestDataRecord* AttachedRecord() override { return Record; }
  void AttachRecord(TTestDataRecord* record) override { Record = record; }

 private:
  TTestDataRecord* Record = nullptr;
};
