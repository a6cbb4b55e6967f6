// The support unit: a growable list of signed 32-bit integers and the
// exceptions it raises.
//
// TIntegerArray can keep its items sorted (searched by bisection) and follows
// a duplicates policy when a value is added that is already present. The
// decoder keeps one unsorted list that ignores duplicates and refills it with
// command indices for every command sequence it sends.
//
// Errors: every bounds error raises EMyArray through the virtual Error, and
// every bounds test comes before any change, so a raising operation leaves
// the list exactly as it was. Running out of memory raises std::bad_alloc,
// again with the list unchanged.
//
// Threads: none of its own; one thread at a time, the owner serialises.
#pragma once

#include <cstdint>
#include <stdexcept>

class EMyException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised by every list error.
class EMyArray : public EMyException {
 public:
  using EMyException::EMyException;
};

class TArray {
 public:
  virtual ~TArray() = default;

  // Raises EMyArray with `fmt`, its "%d" placeholder (if any) replaced by
  // `value` in decimal. Never returns.
  [[noreturn]] virtual void Error(const char* fmt, int32_t value) const;
};

// Duplicates policies of TIntegerArray.
enum : uint8_t { dupIgnore = 0, dupAccept = 1, dupError = 2 };

class TIntegerArray : public TArray {
 public:
  // Largest capacity and count: 2^27 - 1.
  static constexpr int32_t MaxListSize = 0x7FFFFFF;

  // Storage owned by the list (C heap; null while Capacity is 0). Count is
  // for reading; Duplicates and Sorted are written by the owner directly.
  int32_t* Items = nullptr;
  int32_t Capacity = 0;
  int32_t Count = 0;
  // dupIgnore, dupAccept or dupError; any other value acts as dupError.
  uint8_t Duplicates = dupIgnore;
  // When true, the owner keeps the items ascending (Add inserts in order;
  // Insert does not) and searches bisect.
  bool Sorted = false;

  TIntegerArray() = default;
  TIntegerArray(const TIntegerArray&) = delete;
  TIntegerArray& operator=(const TIntegerArray&) = delete;
  ~TIntegerArray() override;

  // Empties the list and releases the storage.
  void Clear();
  // Adds `value` by the sort order and the duplicates policy; returns the
  // index where it is (or already was). Under dupError a present value
  // raises "Integer list does not allow duplicates".
  int32_t Add(int32_t value);
  // Puts `value` at `index` (0..Count), disregarding Sorted and Duplicates.
  void Insert(int32_t index, int32_t value);
  // Index of `value`, or -1. Unsorted: the first match.
  int32_t IndexOf(int32_t value) const;
  // Bisection on a sorted list. Returns whether `value` is present; `index`
  // gets the position of a match or the insertion point. Under dupAccept the
  // position is the first of equal items.
  bool Find(int32_t value, int32_t& index) const;
  int32_t Get(int32_t index) const;
  // Resizes the storage to `n` slots (Count..MaxListSize); 0 releases it.
  void SetCapacity(int32_t n);
  // Sets the number of slots in use (0..MaxListSize); new slots are 0.
  // Never shrinks the capacity.
  void SetCount(int32_t n);
  // Enlarges the capacity: by 4 up to 8, by 16 up to 64, then by a quarter.
  virtual void Grow();

 private:
  // Makes room for one more item at the end, through Grow.
  void EnsureRoomForOne();
};
