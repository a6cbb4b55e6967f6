// The connect answer, and the field store's borrowing of its record.
#include <gtest/gtest.h>

#include <string>

#include "StandinsSupport.h"

using namespace standins_test;

namespace {

TEST(ConnectAnswer, OnlyTheExactAnswerWithTheGsmCodeIsAccepted) {
  EXPECT_TRUE(ConnectAnswer("CONN,123\\2"));
  const std::string rejected[] = {
      "",           "CONN,123\\2 ",    " CONN,123\\2", "conn,123\\2",
      "CONN,123\\3", "CONN,123",       "CONN,123\\2,OK",
      "123\\2",  // an echo of the request
      std::string("CONN,123\\2\0", 11), "IDLE,62,23,41,35,41", "L3,061C",
  };
  for (const auto& line : rejected) EXPECT_FALSE(ConnectAnswer(line)) << '"' << line << '"';

  TFrame frame("CONN,123\\2");
  EXPECT_FALSE(Gain_GSM_Connect_Data(9, frame.get()));
  EXPECT_FALSE(Gain_GSM_Connect_Data(DeviceCode, nullptr));
}

TEST(FieldStore, BorrowsTheAttachedRecord) {
  const int64_t baseline = SharedLiveBlocks();
  THandsetFields* first = NewHandsetFieldsInstance();
  THandsetFields* second = NewHandsetFieldsInstance();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->AttachedRecord(), nullptr);

  TTestDataRecord* record = NewTestData(tdkGSM);
  const int64_t withRecord = SharedLiveBlocks();
  first->AttachRecord(record);
  EXPECT_EQ(first->AttachedRecord(), record);
  EXPECT_EQ(second->AttachedRecord(), nullptr);  // no state shared between stores
  delete first;                                  // with the record still attached
  EXPECT_EQ(SharedLiveBlocks(), withRecord);
  second->AttachRecord(record);
  second->AttachRecord(nullptr);
  EXPECT_EQ(second->AttachedRecord(), nullptr);
  delete second;

  FreeTestData(record);
  EXPECT_EQ(SharedLiveBlocks(), baseline);
}

}  // namespace
