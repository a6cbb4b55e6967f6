#include "testdata/TestDataBox.h"

int32_t TTstDataBox::AddRecord(TTestDataRecord* record) {
  const auto index = static_cast<int32_t>(Records.size());
  Records.push_back(record);
  return index;
}

bool TTstDataBox::ClearRecords() {
  std::vector<TTestDataRecord*>().swap(Records);
  Counter = 0;
  return true;
}

TTestDataRecord* TTstDataBox::GetRecord(int32_t index) const {
  return IsValidIndex(index) ? Records[static_cast<std::size_t>(index)] : nullptr;
}

int32_t TTstDataBox::CountRecords() const { return static_cast<int32_t>(Records.size()); }

bool TTstDataBox::IsValidIndex(int32_t index) const {
  return index > -1 && index < CountRecords();
}

int32_t TTstDataBox::ForgetRecord(const TTestDataRecord* record, int32_t index) {
  if (record == nullptr) return 0;
  if (GetRecord(index) == record) {
    Records[static_cast<std::size_t>(index)] = nullptr;
    return 1;
  }
  // Only a decoder whose slot 36 maps indices its own way gets here.
  int32_t cleared = 0;
  for (TTestDataRecord*& entry : Records) {
    if (entry == record) {
      entry = nullptr;
      ++cleared;
    }
  }
  return cleared;
}
