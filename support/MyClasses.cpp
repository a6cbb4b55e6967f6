#include "support/MyClasses.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

const char* const IndexMessage = "List index out of bounds (%d)";
const char* const CapacityMessage = "List capacity out of bounds (%d)";
const char* const CountMessage = "List count out of bounds (%d)";
const char* const DuplicatesMessage = "Integer list does not allow duplicates";

// Replaces the first "%d" by the value; the format never reaches printf, so
// a stray '%' in a message cannot read arguments that are not there.
std::string FormatMessage(const char* fmt, int32_t value) {
  std::string text = fmt ? fmt : "";
  const std::size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(value));
  return text;
}

}  // namespace

void TArray::Error(const char* fmt, int32_t value) const {
  throw EMyArray(FormatMessage(fmt, value));
}

TIntegerArray::~TIntegerArray() { std::free(Items); }

void TIntegerArray::Clear() {
  SetCount(0);
  SetCapacity(0);
}

int32_t TIntegerArray::Add(int32_t value) {
  int32_t index = 0;
  if (Sorted) {
    if (Find(value, index)) {
      if (Duplicates == dupIgnore) return index;
      if (Duplicates != dupAccept) Error(DuplicatesMessage, 0);
    }
    Insert(index, value);
    return index;
  }
  index = IndexOf(value);
  if (index >= 0) {
    if (Duplicates == dupIgnore) return index;
    if (Duplicates != dupAccept) Error(DuplicatesMessage, 0);
  }
  index = Count;
  EnsureRoomForOne();
  Items[index] = value;
  ++Count;
  return index;
}

void TIntegerArray::Insert(int32_t index, int32_t value) {
  if (index < 0 || index > Count) Error(IndexMessage, index);
  EnsureRoomForOne();
  if (index < Count) {
    std::memmove(Items + index + 1, Items + index,
                 static_cast<std::size_t>(Count - index) * sizeof(int32_t));
  }
  Items[index] = value;
  ++Count;
}

int32_t TIntegerArray::IndexOf(int32_t value) const {
  if (Sorted) {
    int32_t index = 0;
    return Find(value, index) ? index : -1;
  }
  for (int32_t i = 0; i < Count; ++i) {
    if (Items[i] == value) return i;
  }
  return -1;
}

bool TIntegerArray::Find(int32_t value, int32_t& index) const {
  int32_t lo = 0;
  int32_t hi = Count - 1;
  bool found = false;
  while (lo <= hi) {
    const int32_t mid = (lo + hi) / 2;  // both at most MaxListSize: no overflow
    if (Items[mid] < value) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (Items[mid] == value) {
        found = true;
        // Accepting duplicates searches on for the first equal item.
        if (Duplicates != dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

int32_t TIntegerArray::Get(int32_t index) const {
  if (index < 0 || index >= Count) Error(IndexMessage, index);
  return Items[index];
}

void TIntegerArray::SetCapacity(int32_t n) {
  if (n < Count || n > MaxListSize) Error(CapacityMessage, n);
  if (n == Capacity) return;
  if (n == 0) {
    std::free(Items);
    Items = nullptr;
  } else {
    void* storage = std::realloc(Items, static_cast<std::size_t>(n) * sizeof(int32_t));
    if (!storage) throw std::bad_alloc();  // the old storage is untouched
    Items = static_cast<int32_t*>(storage);
  }
  Capacity = n;
}

void TIntegerArray::SetCount(int32_t n) {
  if (n < 0 || n > MaxListSize) Error(CountMessage, n);
  if (n > Capacity) SetCapacity(n);
  if (n > Count) {
    std::memset(Items + Count, 0, static_cast<std::size_t>(n - Count) * sizeof(int32_t));
  }
  Count = n;
}

void TIntegerArray::Grow() {
  const int32_t c = Capacity;
  int32_t delta = 4;
  if (c > 64) {
    delta = c / 4;
  } else if (c > 8) {
    delta = 16;
  }
  SetCapacity(c + delta);
}

void TIntegerArray::EnsureRoomForOne() {
  if (Count < Capacity) return;
  Grow();
  // A derived Grow that did not grow must not let us write past the storage.
  if (Count >= Capacity) Error(CapacityMessage, Capacity);
}
