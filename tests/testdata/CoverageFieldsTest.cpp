// The coverage field catalogue is shared with the host by ordinal: a member
// inserted, dropped or misspelt in the middle shifts every later one.
#include <gtest/gtest.h>

#include <type_traits>

#include "testdata/DataAccessAPIUnit.h"

namespace {

TEST(CoverageFields, OrdinalsFollowTheSharedLists) {
  static_assert(std::is_same_v<std::underlying_type_t<TGSMCoverFieldNo>, uint8_t>);
  static_assert(std::is_same_v<std::underlying_type_t<TCDMACoverFieldNo>, uint8_t>);
  static_assert(std::is_same_v<std::underlying_type_t<TPHSCoverFieldNo>, uint8_t>);
  struct TCase {
    const char* Name;
    int Actual, Expected;
  } cases[] = {
      {"gcfnARFCN", gcfnARFCN, 0},         {"gcfnMaxRxLev", gcfnMaxRxLev, 9},
      {"gcfnRxLevN4", gcfnRxLevN4, 20},    {"gcfnBSICN1", gcfnBSICN1, 29},
      {"gcfnLAC", gcfnLAC, 49},            {"gcfnTCPRx_Rate", gcfnTCPRx_Rate, 69},
      {"gcfnTSUL", gcfnTSUL, 89},          {"gcfnCValue", gcfnCValue, 99},
      {"gcfn8PSKMeanBEP", gcfn8PSKMeanBEP, 110}, {"gcfnTsIndex1", gcfnTsIndex1, 119},
      {"gcfnPESQScore", gcfnPESQScore, 131}, {"gcfnEMailPop3", gcfnEMailPop3, 140},
      {"gcfnVideo", gcfnVideo, 149},
      {"ccfnRxAGC", ccfnRxAGC, 0},         {"ccfnRefPN", ccfnRefPN, 9},
      {"ccfnHandOffState", ccfnHandOffState, 20}, {"ccfnspt_dcch", ccfnspt_dcch, 30},
      {"ccfnICMPTx_Rate", ccfnICMPTx_Rate, 50}, {"ccfnEV_RxPER", ccfnEV_RxPER, 79},
      {"ccfnHDRHybridModeState", ccfnHDRHybridModeState, 89},
      {"ccfnRxSuPER", ccfnRxSuPER, 99},    {"ccfnTxPacketSize", ccfnTxPacketSize, 109},
      {"ccfnPESQScore", ccfnPESQScore, 110}, {"ccfnEMailSmtp", ccfnEMailSmtp, 120},
      {"ccfnVideo", ccfnVideo, 128},
      {"pcfnPower", pcfnPower, 0},         {"pcfnPESQLQ", pcfnPESQLQ, 2},
      {"pcfnVideoMos", pcfnVideoMos, 4},
  };
  for (const auto& c : cases) EXPECT_EQ(c.Actual, c.Expected) << c.Name;
  EXPECT_EQ(GSMCoverFieldCount, 150);
  EXPECT_EQ(CDMACoverFieldCount, 129);
  EXPECT_EQ(PHSCoverFieldCount, 5);
}

TEST(CoverageFields, ElementsAreSmallAndTablesStartEmpty) {
  EXPECT_EQ(sizeof(TGSMCoverFieldNos::value_type), 1u);
  EXPECT_EQ(sizeof(TCDMACoverFieldNos::value_type), 1u);
  EXPECT_EQ(sizeof(TPHSCoverFieldNos::value_type), 1u);
  EXPECT_EQ(sizeof(TCoverageParamArray::value_type), 8u);

  EXPECT_TRUE(GSMCoverFields.empty());
  EXPECT_TRUE(CDMACoverFields.empty());
  for (const auto* extra : {&ExtraCoverFields1, &ExtraCoverFields2, &ExtraCoverFields3, &ExtraCoverFields4,
                            &ExtraCoverFields5})
    EXPECT_TRUE(extra->empty());
  EXPECT_EQ(CoverageParamSets.size(), 5u);
  EXPECT_EQ(CoverageParams.size(), 68u);
  for (const auto& set : CoverageParamSets) EXPECT_TRUE(set.empty());
  for (const auto& params : CoverageParams) EXPECT_TRUE(params.empty());
}

TEST(CoverageFields, PilotSetNames) {
  const char* expected[] = {"Active", "Candidate", "Neighbor", "Remaining", "Pre-Candidate", "Not-Reference"};
  ASSERT_EQ(PilotSetNames.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(PilotSetNames[i], expected[i]) << i;
}

}  // namespace
