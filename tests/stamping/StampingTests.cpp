// Position stamping through slot 44, seen from the host: which of its stored
// records get which position, and what the stamping slots report after.
#include "tests/stamping/StampingRig.h"

namespace stamping {
namespace {

const TPositionBlock MarkA{1.0, 2.0, At(0)};
const TPositionBlock MarkB{5.0, 10.0, At(1)};
const TPositionBlock MarkC{-3.0, 6.0, At(2)};
const TPositionBlock Fresh{0.0, 0.0, 0.0};

TPositionPair PairOf(const TPositionBlock& b) { return {b.X, b.Y}; }

// One letter per record from `first` on: 'A', 'B' a mark's position, '-' unset.
void ExpectPositions(const THostStore& store, int32_t first, const std::string& letters) {
  for (size_t k = 0; k < letters.size(); ++k) {
    const TPositionPair want = letters[k] == 'A' ? PairOf(MarkA) : letters[k] == 'B' ? PairOf(MarkB) : Unset;
    EXPECT_EQ(PositionOf(store.Records[first + k]), want) << "record " << first + k;
  }
}

TEST(Stamping, AcceptsOnlyBlocksMoreThanHalfASecondNewer) {
  const double half = 0.5 / 86400.0;
  struct TCase {
    const char* Name;
    bool SetLast;  // else the last position is the one from construction
    double LastTime, FixTime;
    bool SourceAttached, Accepted;
  };
  const TCase cases[] = {
      {"0.4 s newer", true, At(0), At(0.4), true, false},
      {"0.6 s newer", true, At(0), At(0.6), true, true},
      {"exactly half a second newer", true, 0.0, half, true, false},
      // At(2.5) - At(2) comes out a hair over half a second.
      {"exactly half a second newer on a present-day date", true, At(2), At(2.5), true, false},
      {"time 0 right after construction", false, 0.0, 0.0, true, false},
      {"time 0 a day after the last", true, -1.0, 0.0, true, false},
      {"negative time", true, -2.0, -1.0, true, false},
      {"time not a number", true, At(0), std::nan(""), true, false},
      {"no mark source attached", true, At(0), At(1), false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig;
    rig.Store.Add(0);
    const TPositionBlock last{0.0, 0.0, c.LastTime};
    if (c.SetLast) rig.Decoder->SetLastPosition(last);
    if (!c.SourceAttached) rig.Decoder->SetMarkSource(nullptr);
    // The stamped position comes from the source, never from the block passed.
    const TPositionBlock mark{1.0, 2.0, At(10)};
    rig.Marks.Produce(mark);
    rig.Decoder->NewPosition({99.0, 99.0, c.FixTime});

    const TPositionPair want = c.Accepted ? PairOf(mark) : Unset;
    EXPECT_EQ(PositionOf(rig.Store.Records[0]), want);
    EXPECT_EQ(rig.Current(), want);
    EXPECT_EQ(rig.Decoder->GetPositionsChanged(), c.Accepted);
    EXPECT_EQ(rig.Decoder->CurrentLastMarkCount(), c.Accepted ? 1 : 0);
    EXPECT_EQ(rig.Decoder->GetLastPosition(), c.Accepted ? mark : c.SetLast ? last : Fresh);
  }
}

TEST(Stamping, FirstMarkGoesOntoEveryWaitingRecord) {
  struct TCase {
    const char* Name;
    int Waiting;
    int32_t MinIndex;
    bool Callbacks;
    const char* AfterFirst;  // the waiting records after mark A
    int32_t LastStamped;
    const char* AfterSecond;  // two records arriving next, after mark B
  };
  const TCase cases[] = {
      {"three records waiting", 3, 0, true, "AAA", 2, "AB"},
      {"records below the lowest index", 8, 5, true, "-----AAA", 7, "AB"},
      // Nothing to stamp: mark B is taken as a first mark again.
      {"nothing waiting", 0, 0, true, "", -1, "BB"},
      {"no host callbacks", 3, 0, false, "---", -1, "--"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig(c.Callbacks);
    rig.Decoder->SetMinRecordIndex(c.MinIndex);
    for (int i = 0; i < c.Waiting; ++i) rig.Store.Add(-0.1 * (c.Waiting - i));
    rig.Fix(MarkA);

    const bool stamped = c.LastStamped >= 0;
    ExpectPositions(rig.Store, 0, c.AfterFirst);
    EXPECT_EQ(rig.Current(), PairOf(MarkA));
    EXPECT_EQ(rig.Decoder->GetLastPosition(), stamped ? MarkA : Fresh);
    EXPECT_EQ(rig.Decoder->CurrentLastMarkCount(), stamped ? 1 : 0);
    EXPECT_EQ(rig.Decoder->GetPositionsChanged(), stamped);
    EXPECT_EQ(rig.Decoder->LastStampedIndex(), c.LastStamped);
    EXPECT_FALSE(rig.Decoder->GetPositionsChanged());

    rig.Store.Add(0.5);
    rig.Store.Add(0.8);
    rig.Fix(MarkB);
    ExpectPositions(rig.Store, c.Waiting, c.AfterSecond);
    EXPECT_EQ(rig.Current(), PairOf(MarkB));
  }
}

TEST(Stamping, InterpolatesWaitingRecordsByIndex) {
  const double alone = std::nan("");  // the record must keep its position
  struct TWaiting {
    bool Exists;
    double Seconds, H;
  };
  struct TCase {
    const char* Name;
    int Prior;  // records present at mark A
    int32_t MinIndex;
    std::vector<TWaiting> Waiting;  // records arriving before mark B
    int32_t LastStamped;
  };
  const TCase cases[] = {
      {"five records, uneven times", 3, 0,
       {{true, .1, 0}, {true, .2, .25}, {true, .2, .5}, {true, .5, .75}, {true, .9, 1}}, 7},
      {"a single record", 3, 0, {{true, .5, 1}}, 3},
      {"a record older than the first", 3, 0,
       {{true, .5, 0}, {true, .3, alone}, {true, .6, 2.0 / 3}, {true, .7, 1}}, 6},
      {"indices without a record", 3, 0,
       {{false, 0, alone}, {true, .2, 0}, {false, 0, alone}, {true, .4, 2.0 / 3}, {true, .5, 1}}, 7},
      {"lowest index above the first waiting", 2, 5,
       {{true, .1, alone}, {true, .2, alone}, {true, .3, alone}, {true, .4, 0}, {true, .5, .5}, {true, .6, 1}},
       7},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig;
    rig.Decoder->SetMinRecordIndex(c.MinIndex);
    for (int i = 0; i < c.Prior; ++i) rig.Store.Add(-0.1 * (c.Prior - i));
    rig.Fix(MarkA);
    rig.Decoder->LastStampedIndex();
    for (const TWaiting& w : c.Waiting) {
      if (w.Exists) {
        rig.Store.Add(w.Seconds);
      } else {
        rig.Store.AddMissing();
      }
    }
    rig.Fix(MarkB);

    for (int i = 0; i < c.Prior; ++i)
      EXPECT_EQ(PositionOf(rig.Store.Records[i]), i < c.MinIndex ? Unset : PairOf(MarkA)) << "prior " << i;
    for (size_t k = 0; k < c.Waiting.size(); ++k) {
      const TWaiting& w = c.Waiting[k];
      const TTestDataRecord* r = rig.Store.Records[c.Prior + k];
      if (!w.Exists) continue;
      if (std::isnan(w.H)) {
        EXPECT_EQ(PositionOf(r), Unset) << "waiting " << k;
        continue;
      }
      const TPositionPair want{MarkA.X + w.H * (MarkB.X - MarkA.X), MarkA.Y + w.H * (MarkB.Y - MarkA.Y)};
      if (w.H * 4 == std::floor(w.H * 4)) {  // quarters of these marks are exact
        EXPECT_EQ(PositionOf(r), want) << "waiting " << k;
      } else {
        EXPECT_NEAR(r->PositionX, want.X, 1e-12) << "waiting " << k;
        EXPECT_NEAR(r->PositionY, want.Y, 1e-12) << "waiting " << k;
      }
    }
    EXPECT_EQ(rig.Decoder->GetLastPosition(), MarkB);
    EXPECT_EQ(rig.Current(), PairOf(MarkB));
    EXPECT_TRUE(rig.Decoder->GetPositionsChanged());
    EXPECT_EQ(rig.Decoder->LastStampedIndex(), c.LastStamped);
  }
}

TEST(Stamping, LaterMarkWithNothingNewToStampKeepsTheLastBlock) {
  // Mark A here lies near time 0.25, where a double resolves well below 1e-12 day.
  const TPositionBlock first{1.0, 2.0, 0.25};
  struct TCase {
    const char* Name;
    int Waiting;
    bool WaitingExist;
    TPositionBlock Latest;  // the source's mark when slot 44 is called
    bool Stamped;
  };
  const TCase cases[] = {
      {"no waiting records", 0, true, MarkB, false},
      {"waiting indices without records", 2, false, MarkB, false},
      {"the source still holds the last mark", 2, true, first, false},
      {"a mark within 1e-12 day of the last", 2, true, {6.0, 3.0, 0.25 + 0.5e-12}, false},
      {"a mark 2e-12 day after the last", 2, true, {6.0, 3.0, 0.25 + 2e-12}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig;
    for (int i = 0; i < 3; ++i) rig.Store.Add(-1);
    rig.Fix(first);
    ASSERT_EQ(rig.Decoder->LastStampedIndex(), 2);
    for (int i = 0; i < c.Waiting; ++i) {
      if (c.WaitingExist) {
        rig.Store.Add(0);
      } else {
        rig.Store.AddMissing();
      }
    }
    rig.Marks.Produce(c.Latest);
    rig.Decoder->NewPosition({0.0, 0.0, At(1)});

    EXPECT_EQ(rig.Current(), PairOf(c.Latest));
    EXPECT_EQ(rig.Decoder->CurrentLastMarkCount(), 2);
    EXPECT_EQ(rig.Decoder->GetLastPosition(), c.Stamped ? c.Latest : first);
    EXPECT_EQ(rig.Decoder->GetPositionsChanged(), c.Stamped);
    EXPECT_EQ(rig.Decoder->LastStampedIndex(), c.Stamped ? 2 + c.Waiting : 2);
    if (c.WaitingExist && c.Waiting > 0) {
      EXPECT_EQ(PositionOf(rig.Store.Records[4]), c.Stamped ? PairOf(c.Latest) : Unset);
    }
  }
}

TEST(Stamping, AsksTheHostForTheCountBeforeEveryRecord) {
  TRig rig;
  for (int i = 0; i < 4; ++i) rig.Store.Add(-1);
  rig.Fix(MarkA);
  rig.Store.Add(0.1);
  rig.Store.AddMissing();
  rig.Store.Add(0.3);
  rig.Store.GrowAtIndex = 6;  // a record arrives while the pass runs
  rig.Fix(MarkB);

  ASSERT_EQ(rig.Store.Size(), 8);
  EXPECT_EQ(PositionOf(rig.Store.Records[4]), PairOf(MarkA));
  EXPECT_EQ(PositionOf(rig.Store.Records[6]), PairOf(MarkB));
  // The newcomer gets the new mark for now but is still waiting.
  EXPECT_EQ(PositionOf(rig.Store.Records[7]), PairOf(MarkB));
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), 6);
  rig.Fix(MarkC);
  EXPECT_EQ(PositionOf(rig.Store.Records[7]), PairOf(MarkC));
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), 7);

  const std::string& trace = rig.Store.Trace;
  ASSERT_NE(trace.find('a'), std::string::npos);
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i] != 'a') continue;
    ASSERT_TRUE(i > 0 && trace[i - 1] == 'c') << "record call " << i << " in " << trace;
  }
  EXPECT_EQ(rig.Store.BadCalls, 0);
}

TEST(Stamping, TestStartAndStopBoundTheWaitingRecords) {
  TRig rig;
  rig.Decoder->SetClock({[](void*) { return BaseDay; }, [](void*, uint32_t) {}, nullptr});
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), -1);
  rig.Decoder->SetLastPosition({3.0, 4.0, At(-5)});
  rig.Decoder->StartTest();
  EXPECT_EQ(rig.Decoder->GetLastPosition(), (TPositionBlock{NoValue, NoValue, 0.0}));
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), -1);

  for (int i = 0; i < 6; ++i) rig.Store.Add(-1);
  rig.Fix(MarkA);
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), 5);
  for (int i = 6; i < 10; ++i) {
    rig.Store.Add(0);
    rig.Store.Records[i]->PositionX = i;  // what the host chose to show meanwhile
  }
  rig.Decoder->StopTest();
  EXPECT_TRUE(rig.Decoder->GetPositionsChanged());
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), 9);
  EXPECT_FALSE(rig.Decoder->GetPositionsChanged());
  for (int i = 6; i < 10; ++i) EXPECT_EQ(PositionOf(rig.Store.Records[i]), (TPositionPair{double(i), NoValue}));

  // A stop with nothing waiting reports no change.
  rig.Decoder->StartTest();
  rig.Decoder->StopTest();
  EXPECT_FALSE(rig.Decoder->GetPositionsChanged());
  EXPECT_EQ(rig.Decoder->LastStampedIndex(), 9);

  // Without a mark source a start keeps the last position.
  const TPositionBlock kept{3.0, 4.0, At(-5)};
  rig.Decoder->SetMarkSource(nullptr);
  rig.Decoder->SetLastPosition(kept);
  rig.Decoder->StartTest();
  EXPECT_EQ(rig.Decoder->GetLastPosition(), kept);
  rig.Decoder->StopTest();
}

}  // namespace
}  // namespace stamping
