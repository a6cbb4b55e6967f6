// Record copy and release on records of every shape: every kind, any
// optional-block bits, the compact layout, the static mark, counts of zero
// and below. The copy equals the source in every value byte and owned
// buffer and owns nothing of the source's; with an allocation made to fail
// (input chooses which), the copy raises std::bad_alloc and takes nothing;
// releasing gives back exactly what was taken.
#include <new>

#include "fuzz/FuzzHarness.h"
#include "standins/sharedmm/SharedMMFaults.h"
#include "tests/reliability/RecordShapes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::TInput in(data, size);
  const fuzz::TLive before;
  TRecordShape s;
  const uint8_t head = in.Byte();
  s.Kind = head % 5;
  s.Compact = head & 0x08;
  s.StaticMark = head & 0x10;
  const uint8_t failAt = in.Byte();  // 0: no failure; else the n-th allocation of the copy
  s.Flags = in.U16();
  s.Items = static_cast<int8_t>(in.Byte());
  s.BufferSize = in.U16() % 600;
  s.Tags = in.Byte() % 40;
  s.BlockSize = in.U16() % 300;
  s.MessageWord = in.U32();
  for (uint8_t n = in.Byte() % 12; n > 0; --n) s.EntryLengths.push_back(in.U16() % 400);

  TTestDataRecord* source = BuildShaped(s);
  const fuzz::TLive built;
  SharedFailAllocations(failAt, in.Byte() & 1);
  TTestDataRecord* copy = nullptr;
  bool raised = false;
  try {
    copy = CopyTestData(source);
  } catch (const std::bad_alloc&) {
    raised = true;
  }
  const int64_t seen = SharedAllocationsSeen();
  SharedFailAllocations(0, 0);
  FUZZ_CHECK(raised == (failAt > 0 && seen >= failAt), "a failed allocation went unnoticed, or one was invented");
  if (raised) {
    FUZZ_CHECK(fuzz::TLive() == built, "a failed copy kept " + fuzz::TLive().Describe());
  } else {
    const std::string fault = DeepCopyFault(*source, *copy);
    FUZZ_CHECK(fault.empty(), fault);
    FUZZ_CHECK(IsReleasableTestData(copy), "the copy cannot be released");
    FreeTestData(copy);
    FUZZ_CHECK(fuzz::TLive() == built, "releasing the copy left " + fuzz::TLive().Describe());
  }
  FreeTestData(source);
  if (s.StaticMark) {
    FUZZ_CHECK(fuzz::TLive() == built, "a record with the static mark was released");
    source->HeaderWord &= ~hwStaticMark;
    FreeTestData(source);
  }
  FUZZ_CHECK(fuzz::TLive() == before, "releasing the source left " + fuzz::TLive().Describe());
  return 0;
}
