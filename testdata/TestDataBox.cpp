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

bool TTstDataBox::ReleaseRecord(int32_t index) {
  TTestDataRecord* record = GetRecord(index);
  if (!record) return false;
  // Clear the entry first: the index must never hand out released memory.
  Records[static_cast<std::size_t>(index)] = nullptr;
  FreeTestData(record);
  return true;
}
