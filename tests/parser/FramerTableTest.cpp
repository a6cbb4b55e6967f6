// Framing of each mode as tables: the chunks as they arrive, the frames
// that must come out.
#include <gtest/gtest.h>

#include "ParserTestSupport.h"

namespace {

using namespace parser_test;

struct TFramerCase {
  const char* Name;
  uint8_t Mode;
  std::vector<std::string> Chunks;
  TFrames Expected;
};

class FramerTable : public ::testing::TestWithParam<TFramerCase> {};

TEST_P(FramerTable, DeliversExpectedFrames) {
  const TFramerCase& c = GetParam();
  TRecorder r(c.Mode);
  r.FeedChunks(c.Chunks);
  EXPECT_EQ(r.Frames, c.Expected);
  EXPECT_EQ(r.WrongOwner, 0);
}

std::string CaseName(const ::testing::TestParamInfo<TFramerCase>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(TextLine, FramerTable, ::testing::Values(
    TFramerCase{"BackspaceRemovesLastByte", fmTextLine, {"AB\bC\r"}, {"AC"}},
    TFramerCase{"BackspaceOnEmptyFrameDoesNothing", fmTextLine, {"\b\bA\r\b\r"}, {"A"}},
    TFramerCase{"BackspaceInNextChunk", fmTextLine, {"AB", "\b\r"}, {"A"}},
    TFramerCase{"NulAndLfVanish", fmTextLine, {Hex("41 0A 00 42 0D")}, {"AB"}},
    TFramerCase{"CrLfLinesOnceEach", fmTextLine, {"one\r\ntwo\r\n"}, {"one", "two"}},
    TFramerCase{"SecondCrDeliversNothing", fmTextLine, {"A\r\r"}, {"A"}},
    TFramerCase{"LineSplitOverChunks", fmTextLine, {"AB", "C\r\nD", "E", "\r"}, {"ABC", "DE"}},
    TFramerCase{"LeadingGarbageIsFirstFrame", fmTextLine, {Hex("FF 85") + "x\rOK\r"},
                {Hex("FF 85") + "x", "OK"}},
    TFramerCase{"OtherControlHighAndMarkerBytesAreData", fmTextLine,
                {Hex("01 09 1B 7F FF 82 83 90 7E 7D 10 03 0D")},
                {Hex("01 09 1B 7F FF 82 83 90 7E 7D 10 03")}},
    TFramerCase{"UnterminatedTailIsKept", fmTextLine, {"A\rB"}, {"A"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(Marked, FramerTable, ::testing::Values(
    TFramerCase{"StartDiscardsGarbage", fmMarked, {Hex("41 82 42 83")}, {Hex("42")}},
    TFramerCase{"NewStartCutsPartialFrame", fmMarked, {Hex("82 41 42 82 43 83")}, {Hex("43")}},
    TFramerCase{"BytesWithoutStartAreDelivered", fmMarked, {Hex("82 41 83 42 83")},
                {Hex("41"), Hex("42")}},
    TFramerCase{"EmptyFramesNotDelivered", fmMarked, {Hex("82 83 83 82 83")}, {}},
    TFramerCase{"RawCrXonXoffVanish", fmMarked, {Hex("82 41 0D 11 13 42 83")}, {"AB"}},
    TFramerCase{"EscapedControlBytesDecode", fmMarked, {Hex("82 90 8D 90 91 90 93 83")},
                {Hex("0D 11 13")}},
    TFramerCase{"EscapedMarkersAreData", fmMarked, {Hex("82 90 83 90 82 90 90 83")},
                {Hex("83 82 90")}},
    TFramerCase{"EscapedOrdinaryByteIsItself", fmMarked, {Hex("82 90 41 90 0D 83")}, {Hex("41 0D")}},
    TFramerCase{"EscapeSplitMidChunkStillPairs", fmMarked, {Hex("82 90 8D"), Hex("83")}, {Hex("0D")}},
    TFramerCase{"EscapeEndingChunkThenEnd", fmMarked, {Hex("82 41 90"), Hex("83")}, {Hex("41")}},
    TFramerCase{"EscapeEndingChunkThenCodedByte", fmMarked, {Hex("82 41 90"), Hex("8D 83")},
                {Hex("41 8D")}},
    TFramerCase{"EscapeEndingChunkThenStart", fmMarked, {Hex("82 41 90"), Hex("82 42 83")},
                {Hex("42")}},
    TFramerCase{"OtherModesTerminatorsAreData", fmMarked, {Hex("82 7E 7D 10 03 08 83")},
                {Hex("7E 7D 10 03 08")}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(Flagged, FramerTable, ::testing::Values(
    TFramerCase{"EscapesDecodeOnlyBracketAndCaret", fmFlagged, {"}]}^}A}}~"}, {"}~A}"}},
    TFramerCase{"EscapedTildeDoesNotEnd", fmFlagged, {"A}^B~"}, {"A~B"}},
    TFramerCase{"DoubleTildeDeliversOnce", fmFlagged, {"A~~B~"}, {"A", "B"}},
    TFramerCase{"EscapeSplitMidChunkStillPairs", fmFlagged, {"A}^", "~"}, {"A~"}},
    TFramerCase{"EscapeEndingChunkThenEnd", fmFlagged, {"A}", "~"}, {"A"}},
    TFramerCase{"EscapeEndingChunkThenCodedByte", fmFlagged, {"A}", "]~"}, {"A]"}},
    TFramerCase{"ControlAndMarkerBytesAreData", fmFlagged, {Hex("0D 0A 00 08 82 83 90 10 03 7E")},
                {Hex("0D 0A 00 08 82 83 90 10 03")}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(Dle, FramerTable, ::testing::Values(
    TFramerCase{"DleDleIsOneDle", fmDle, {Hex("41 10 10 42 10 03")}, {Hex("41 10 42 10 03")}},
    TFramerCase{"StxPairStaysInFrame", fmDle, {Hex("10 02 41 10 03")}, {Hex("10 02 41 10 03")}},
    TFramerCase{"DleEtxSplitOverChunks", fmDle, {Hex("41 10"), Hex("03")}, {Hex("41 10 03")}},
    TFramerCase{"DleDleSplitOverChunks", fmDle, {Hex("41 10"), Hex("10 42 10 03")},
                {Hex("41 10 42 10 03")}},
    TFramerCase{"BackToBackDleEtx", fmDle, {Hex("41 10 03 10 03")}, {Hex("41 10 03"), Hex("10 03")}},
    TFramerCase{"EtxAfterDleDleIsData", fmDle, {Hex("10 10 03 10 03")}, {Hex("10 03 10 03")}},
    TFramerCase{"OddDleRunEndsFrame", fmDle, {Hex("10 10 10 03")}, {Hex("10 10 03")}},
    TFramerCase{"PendingDleSurvivesEmptyChunks", fmDle, {Hex("41 10"), "", Hex("03")},
                {Hex("41 10 03")}},
    TFramerCase{"OtherTerminatorsAreData", fmDle, {Hex("0D 7E 83 03 10 03")}, {Hex("0D 7E 83 03 10 03")}}),
    CaseName);

// Frames past 4096 bytes: truncated, and the stream goes on intact.
INSTANTIATE_TEST_SUITE_P(Overlong, FramerTable, ::testing::Values(
    TFramerCase{"TextLineKeepsFirst4096", fmTextLine, {Letters(5000) + "\rAB\r"},
                {Letters(4096), "AB"}},
    TFramerCase{"TextLineOverChunks", fmTextLine, {Letters(3000), Letters(3000) + "\r"},
                {(Letters(3000) + Letters(3000)).substr(0, 4096)}},
    TFramerCase{"TextLineBackspaceAfterTruncation", fmTextLine, {Letters(4200) + "\b\r"},
                {Letters(4095)}},
    TFramerCase{"TextLineExactly4096", fmTextLine, {Letters(4096) + "\r"}, {Letters(4096)}},
    TFramerCase{"MarkedEscapeAtLimitDropped", fmMarked, {Hex("82") + Letters(4096) + Hex("90 8D 83")},
                {Letters(4096)}},
    TFramerCase{"MarkedEscapeBelowLimitKept", fmMarked, {Hex("82") + Letters(4095) + Hex("90 8D 83")},
                {Letters(4095) + Hex("0D")}},
    TFramerCase{"FlaggedEscapeAtLimitDropped", fmFlagged, {Letters(4100) + "}^~A~"},
                {Letters(4096), "A"}},
    TFramerCase{"FlaggedEscapeBelowLimitKept", fmFlagged, {Letters(4095) + "}^~"},
                {Letters(4095) + "~"}},
    TFramerCase{"DleEtxFrom4095Makes4097", fmDle, {Letters(4095) + Hex("10 03")},
                {Letters(4095) + Hex("10 03")}},
    TFramerCase{"DleEtxAt4096IsNotStored", fmDle, {Letters(4096) + Hex("10 03") + "A" + Hex("10 03")},
                {Letters(4096), "A" + Hex("10 03")}},
    TFramerCase{"DleDleFillsLastPlace", fmDle, {Letters(4095) + Hex("10 10 10 03")},
                {Letters(4095) + Hex("10")}},
    TFramerCase{"OtherDlePairFrom4095Makes4097", fmDle, {Letters(4095) + Hex("10 41 42 10 03")},
                {Letters(4095) + Hex("10 41")}},
    TFramerCase{"DleSplitAtLimitOverChunks", fmDle, {Letters(4095) + Hex("10"), Hex("03")},
                {Letters(4095) + Hex("10 03")}}),
    CaseName);

}  // namespace
