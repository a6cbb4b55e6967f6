#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "support/MyClasses.h"

#if defined(__linux__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#include <sys/resource.h>
#define ORVIK_CAN_LIMIT_MEMORY 1
#endif

namespace {

std::vector<int32_t> Contents(const TIntegerArray& list) {
  return std::vector<int32_t>(list.Items, list.Items + list.Count);
}

void Fill(TIntegerArray& list, std::initializer_list<int32_t> values) {
  for (int32_t v : values) list.Insert(list.Count, v);
}

// Everything an operation could have disturbed.
struct TSnapshot {
  const int32_t* Items;
  int32_t Capacity;
  int32_t Count;
  std::vector<int32_t> Values;
  bool operator==(const TSnapshot&) const = default;
};

TSnapshot Snap(const TIntegerArray& list) {
  return {list.Items, list.Capacity, list.Count, Contents(list)};
}

// Runs `op`, which must raise EMyArray with exactly `message`, and checks
// that the list is as it was before.
void ExpectListError(TIntegerArray& list, const std::function<void()>& op,
                     const std::string& message) {
  const TSnapshot before = Snap(list);
  try {
    op();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const EMyArray& e) {
    EXPECT_EQ(e.what(), message);
  }
  EXPECT_EQ(Snap(list), before) << "after the failure of: " << message;
}

TEST(IntegerList, CapacityGrowsByTheGrowthRule) {
  TIntegerArray list;
  EXPECT_EQ(list.Items, nullptr);
  EXPECT_EQ(list.Capacity, 0);
  list.Duplicates = dupAccept;
  std::vector<int32_t> capacities;
  for (int32_t i = 0; i < 147; ++i) {
    EXPECT_EQ(list.Add(i), i);
    if (capacities.empty() || capacities.back() != list.Capacity) capacities.push_back(list.Capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147}));
  // Full at 147: the next value grows by a quarter; values survive each move.
  list.Insert(0, -1);
  EXPECT_EQ(list.Capacity, 183);
  EXPECT_EQ(list.Count, 148);
  for (int32_t i = 0; i < 147; ++i) ASSERT_EQ(list.Get(i + 1), i);
}

TEST(IntegerList, UnsortedDuplicatePolicies) {
  // A fresh list ignores duplicates: values keep the order of first insertion.
  TIntegerArray ignore;
  for (int32_t v : {78, 38, 48, 38, 52, 78}) ignore.Add(v);
  EXPECT_EQ(ignore.Add(38), 1);
  EXPECT_EQ(Contents(ignore), (std::vector<int32_t>{78, 38, 48, 52}));
  EXPECT_EQ(ignore.IndexOf(53), -1);

  TIntegerArray accept;
  accept.Duplicates = dupAccept;
  EXPECT_EQ(accept.Add(38), 0);
  EXPECT_EQ(accept.Add(38), 1);
  EXPECT_EQ(Contents(accept), (std::vector<int32_t>{38, 38}));

  // An unknown policy value is as strict as dupError.
  for (uint8_t policy : {uint8_t{dupError}, uint8_t{7}}) {
    TIntegerArray strict;
    strict.Duplicates = policy;
    EXPECT_EQ(strict.Add(38), 0);
    EXPECT_EQ(strict.Add(5), 1);
    ExpectListError(strict, [&] { strict.Add(38); }, "Integer list does not allow duplicates");
  }
}

TEST(IntegerList, SortedAddKeepsAscendingOrderUnderEachPolicy) {
  const std::vector<int32_t> input{5, -3, INT32_MAX, 5, 0, INT32_MIN, -3, 12, 5, 1};
  for (uint8_t policy : {uint8_t{dupIgnore}, uint8_t{dupAccept}}) {
    TIntegerArray list;
    list.Sorted = true;
    list.Duplicates = policy;
    for (int32_t v : input) {
      const int32_t at = list.Add(v);
      ASSERT_EQ(list.Get(at), v);
    }
    std::vector<int32_t> expected = input;
    std::sort(expected.begin(), expected.end());
    if (policy == dupIgnore) expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(Contents(list), expected) << "policy " << int{policy};
  }
}

TEST(IntegerList, SortedAddOfAPresentValue) {
  TIntegerArray accept;
  accept.Sorted = true;
  accept.Duplicates = dupAccept;
  Fill(accept, {3, 5, 5, 7});
  EXPECT_EQ(accept.Add(5), 1);
  EXPECT_EQ(Contents(accept), (std::vector<int32_t>{3, 5, 5, 5, 7}));

  TIntegerArray ignore;
  ignore.Sorted = true;
  Fill(ignore, {3, 5, 7});
  const TSnapshot before = Snap(ignore);
  EXPECT_EQ(ignore.Add(5), 1);
  EXPECT_EQ(Snap(ignore), before);

  TIntegerArray strict;
  strict.Sorted = true;
  strict.Duplicates = dupError;
  Fill(strict, {3, 5, 7});
  ExpectListError(strict, [&] { strict.Add(7); }, "Integer list does not allow duplicates");
}

TEST(IntegerList, FindGivesMatchOrInsertionPoint) {
  TIntegerArray list;
  list.Sorted = true;
  list.Duplicates = dupAccept;
  Fill(list, {-10, 2, 2, 2, 2, 2, 9, 40});
  struct {
    int32_t Value;
    bool Found;
    int32_t Index;
  } const cases[] = {
      {INT32_MIN, false, 0}, {-10, true, 0}, {0, false, 1}, {2, true, 1},
      {5, false, 6},         {9, true, 6},   {40, true, 7}, {41, false, 8},
  };
  for (const auto& c : cases) {
    int32_t index = -99;
    EXPECT_EQ(list.Find(c.Value, index), c.Found) << c.Value;
    EXPECT_EQ(index, c.Index) << c.Value;
  }
  EXPECT_EQ(list.IndexOf(2), 1);
  EXPECT_EQ(list.IndexOf(3), -1);

  // Without dupAccept a hit ends the search at that hit.
  list.Duplicates = dupIgnore;
  int32_t index = -1;
  EXPECT_TRUE(list.Find(2, index));
  EXPECT_EQ(list.Get(index), 2);

  TIntegerArray empty;
  empty.Sorted = true;
  EXPECT_FALSE(empty.Find(1, index));
  EXPECT_EQ(index, 0);
}

TEST(IntegerList, InsertShiftsLaterItemsAndIgnoresOrderAndPolicy) {
  TIntegerArray list;
  list.Sorted = true;
  list.Duplicates = dupError;
  Fill(list, {1, 2, 3});
  list.Insert(0, 9);
  list.Insert(2, 9);
  list.Insert(list.Count, 0);
  EXPECT_EQ(Contents(list), (std::vector<int32_t>{9, 1, 9, 2, 3, 0}));
}

TEST(IntegerList, BoundsErrorsNameTheValueAndChangeNothing) {
  TIntegerArray list;
  Fill(list, {4, 5, 6});
  ExpectListError(list, [&] { list.Get(-1); }, "List index out of bounds (-1)");
  ExpectListError(list, [&] { list.Get(3); }, "List index out of bounds (3)");
  ExpectListError(list, [&] { list.Insert(4, 1); }, "List index out of bounds (4)");
  ExpectListError(list, [&] { list.Insert(-1, 1); }, "List index out of bounds (-1)");
  ExpectListError(list, [&] { list.SetCapacity(2); }, "List capacity out of bounds (2)");
  ExpectListError(list, [&] { list.SetCapacity(134217728); },
                  "List capacity out of bounds (134217728)");
  ExpectListError(list, [&] { list.SetCount(-1); }, "List count out of bounds (-1)");
  ExpectListError(list, [&] { list.SetCount(134217728); }, "List count out of bounds (134217728)");
  ExpectListError(list, [&] { list.SetCount(INT32_MIN); }, "List count out of bounds (-2147483648)");

  // The exception family the callers may catch.
  EXPECT_THROW(list.Get(7), EMyException);
  EXPECT_THROW(list.Get(7), std::runtime_error);
}

TEST(IntegerList, SetCountZeroFillsAndNeverShrinksCapacity) {
  TIntegerArray list;
  Fill(list, {11, 12});
  list.SetCapacity(4);
  list.Items[2] = 77;  // stale value in an unused slot must not reappear
  list.SetCount(5);
  EXPECT_EQ(Contents(list), (std::vector<int32_t>{11, 12, 0, 0, 0}));
  EXPECT_EQ(list.Capacity, 5);
  list.SetCount(1);
  EXPECT_EQ(list.Count, 1);
  EXPECT_EQ(list.Capacity, 5);
  EXPECT_EQ(list.Get(0), 11);
}

TEST(IntegerList, SetCapacityKeepsValuesAndZeroReleases) {
  TIntegerArray list;
  Fill(list, {1, 2, 3});
  list.SetCapacity(1000);
  EXPECT_EQ(Contents(list), (std::vector<int32_t>{1, 2, 3}));
  list.SetCapacity(3);
  EXPECT_EQ(list.Capacity, 3);
  EXPECT_EQ(Contents(list), (std::vector<int32_t>{1, 2, 3}));
  list.Clear();
  EXPECT_EQ(list.Count, 0);
  EXPECT_EQ(list.Capacity, 0);
  EXPECT_EQ(list.Items, nullptr);
  // Usable again after Clear.
  EXPECT_EQ(list.Add(8), 0);
  EXPECT_EQ(list.Capacity, 4);
}

TEST(IntegerList, LargestCapacityIsAcceptedAsFarAsMemoryAllows) {
  TIntegerArray list;
  Fill(list, {1, 2});
  const TSnapshot before = Snap(list);
  try {
    list.SetCapacity(TIntegerArray::MaxListSize);
    EXPECT_EQ(list.Capacity, 134217727);
    EXPECT_EQ(Contents(list), (std::vector<int32_t>{1, 2}));
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(Snap(list), before);
  }
}

#if defined(ORVIK_CAN_LIMIT_MEMORY)
// In a child process whose address space is capped, the storage cannot grow:
// the failure must surface as std::bad_alloc with the list intact.
void GrowUnderMemoryCap() {
  long pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  if (pages <= 0) std::exit(2);
  const rlim_t cap = static_cast<rlim_t>(pages) * 4096 + (64u << 20);
  const rlimit limit{cap, cap};
  if (setrlimit(RLIMIT_AS, &limit) != 0) std::exit(3);

  TIntegerArray list;
  for (int32_t v : {5, 6, 7}) list.Add(v);
  const TSnapshot before = Snap(list);
  try {
    list.SetCount(TIntegerArray::MaxListSize);
    std::exit(4);  // 512 MiB under a 64 MiB margin: must not succeed
  } catch (const std::bad_alloc&) {
  }
  std::exit(Snap(list) == before ? 0 : 5);
}

TEST(IntegerListDeathTest, OutOfMemoryRaisesBadAllocAndKeepsTheList) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(GrowUnderMemoryCap(), testing::ExitedWithCode(0), "");
}
#endif

// Errors and growth go through the virtual operations, so a derived list can
// replace them.
class TTracingList : public TIntegerArray {
 public:
  mutable std::vector<std::string> Errors;
  int32_t Grows = 0;
  bool GrowNothing = false;

  [[noreturn]] void Error(const char* fmt, int32_t value) const override {
    Errors.push_back(std::string(fmt) + "|" + std::to_string(value));
    TIntegerArray::Error(fmt, value);
  }
  void Grow() override {
    ++Grows;
    if (!GrowNothing) SetCapacity(Capacity + 1);
  }
};

TEST(IntegerList, DerivedErrorAndGrowAreUsed) {
  TTracingList list;
  list.Duplicates = dupError;
  list.Add(1);
  list.Insert(1, 2);
  list.Sorted = true;
  list.Add(3);
  EXPECT_EQ(list.Grows, 3);
  EXPECT_EQ(list.Capacity, 3);

  EXPECT_THROW(list.Get(5), EMyArray);
  EXPECT_THROW(list.Add(1), EMyArray);
  EXPECT_EQ(list.Errors, (std::vector<std::string>{"List index out of bounds (%d)|5",
                                                   "Integer list does not allow duplicates|0"}));

  // A Grow that does not grow must not lead to a write past the storage.
  list.GrowNothing = true;
  list.Errors.clear();
  ExpectListError(list, [&] { list.Insert(3, 4); }, "List capacity out of bounds (3)");
  list.Sorted = false;
  ExpectListError(list, [&] { list.Add(4); }, "List capacity out of bounds (3)");
}

}  // namespace
