// What the decoder writes to the handset and when: the test start-up, the
// report refresh after each stored record, the connect set-up, the call text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "serial/Orvik7316Cmd.h"
#include "tests/session/SessionTestSupport.h"

using namespace session_test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class CommandSequence : public SessionFixture {};

TEST_F(CommandSequence, StartsATestWithPurgesThenStartTestThenFifteenPacedCommands) {
  struct Case {
    const char* Name;
    bool Reopen;
    bool Replay;
    std::vector<std::string> Expected;
  };
  const std::vector<std::string> start{"PurgeA", "PurgeB", "StartTest"};
  const std::vector<std::string> reopen{"Close", "P20", "Open"};
  const Case cases[] = {
      {"reset", false, false, Concat(start, CommandsWithPauses(StartupTexts))},
      {"reopen", true, false, Concat(Concat(reopen, start), CommandsWithPauses(StartupTexts))},
      {"reset in replay", false, true, start},
      {"reopen in replay", true, true, Concat(reopen, start)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Marks.SetReplay(c.Replay);
    TProbeDecoder& d = Make();
    d.OnStartTest = [this] { Clock.Mark("StartTest"); };
    if (c.Reopen) {
      d.ReopenAndStartTest();
    } else {
      d.ResetAndStartTest();
    }
    EXPECT_THAT(Timeline(Port, Clock), ElementsAreArray(c.Expected));
    EXPECT_EQ(d.GetSessionMode(), smTesting);
    D.reset();
    Port.ClearCalls();
    Clock.Clear();
  }
}

TEST_F(CommandSequence, RefreshesTheReportsOfTheHandsetsModeAfterEachStoredRecord) {
  TProbeDecoder& d = MakeTesting();
  // IDLE keeps the idle mode, DED switches to dedicated, L3 leaves the mode;
  // a rejected line sends nothing.
  Feed(d, "IDLE,62,23,41,35,41,60:12:30\rDED,62,23,38,36,2,1,3,5\rIDLE,bad\rL3,8301\r");
  EXPECT_THAT(Timeline(Port, Clock),
              ElementsAreArray(Concat(Concat(CommandsWithPauses(IdleRefreshTexts),
                                             CommandsWithPauses(DedicatedRefreshTexts)),
                                      CommandsWithPauses(DedicatedRefreshTexts))));
  EXPECT_EQ(d.GetStoredRecordCount(), 3);
  EXPECT_TRUE(d.IsDedicatedMode());
}

TEST_F(CommandSequence, ReplayStoresRecordsButWritesAndPausesNothing) {
  Marks.SetReplay(true);
  TProbeDecoder& d = MakeTesting();
  Feed(d, "IDLE,62,23,41,35,41\rDED,62,23,38,36,2,1,3,5\r");
  EXPECT_EQ(d.GetStoredRecordCount(), 2);
  EXPECT_TRUE(Port.Writes().empty());
  EXPECT_TRUE(Clock.Entries.empty());
  d.SendConnectRequest(true);
  d.Disconnect();  // no 100 ms pause either
  EXPECT_TRUE(Port.Writes().empty());
  EXPECT_TRUE(Clock.Entries.empty());
}

TEST_F(CommandSequence, ConnectOpensAndSetsUpThePortThenSendsTheRequest) {
  struct Case {
    const char* Name;
    bool Open;
    bool Replay;
    bool EnableAFails;
    std::vector<TPortCall> Expected;
  };
  const TPortCall isOpen{"IsOpen", "", 0, false}, open{"Open", "", 1, false},
      opt{"SetOptionByte", "", 6, false}, optA{"SetOptionA", "", 100, false},
      optB{"SetOptionB", "", 100, false}, enA{"EnableA", "", 1, false},
      enAFail{"EnableA", "", 1, true}, enB{"EnableB", "", 1, false},
      purgeA{"PurgeA", "", 0, false}, purgeB{"PurgeB", "", 0, false},
      request{"Write", "123\\2\r\n", 7, false};
  const Case cases[] = {
      {"closed port", false, false, false,
       {isOpen, open, opt, optA, optB, enA, enB, purgeA, purgeB, request}},
      {"open port", true, false, false, {isOpen, opt, optA, optB, enA, enB, purgeA, purgeB, request}},
      {"replay", false, true, false, {isOpen, open, opt, optA, optB, enA, enB, purgeA, purgeB}},
      {"EnableA fails", true, false, true, {isOpen, opt, optA, optB, enAFail, purgeA, purgeB, request}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Marks.SetReplay(c.Replay);
    Port.Opened = c.Open;
    if (c.EnableAFails) Port.Fault("EnableA").Always();
    TProbeDecoder& d = Make();
    d.Connect(false);
    EXPECT_EQ(Port.Calls(), c.Expected);
    EXPECT_EQ(d.GetSessionMode(), smConnecting);
    EXPECT_FALSE(d.IsConnected());
    EXPECT_TRUE(Clock.Entries.empty()) << "no pause after the request";
    Port.Fault("EnableA").Never();
    Port.ClearCalls();
  }
}

TEST_F(CommandSequence, ConnectWithTrueOnlyMarksTheDecoderConnected) {
  TProbeDecoder& d = Make();
  d.Connect(true);
  EXPECT_TRUE(d.IsConnected());
  EXPECT_EQ(d.GetSessionMode(), smClosed);
  EXPECT_TRUE(Port.Calls().empty());
}

TEST_F(CommandSequence, AFailingWriteClosesThePortOnceAndTheSequenceGoesOn) {
  TProbeDecoder& d = Make();
  Port.Fault("Write").OnCall(2);
  d.ResetAndStartTest();
  EXPECT_EQ(Port.Writes().size(), StartupTexts.size());
  EXPECT_EQ(Port.CountOf("Close"), 1);
  // The failed command keeps its pause: the pause belongs to the command.
  int pauses = 0;
  for (const auto& e : Clock.Entries) pauses += e.Text == "P5" ? 1 : 0;
  EXPECT_EQ(pauses, 15);
}

TEST_F(CommandSequence, StopAndDisconnectPause) {
  TProbeDecoder& d = MakeTesting();
  d.StopTest();
  EXPECT_EQ(d.GetSessionMode(), smIdle);
  d.Disconnect();
  EXPECT_EQ(d.GetSessionMode(), smClosed);
  EXPECT_THAT(Timeline(Port, Clock), ElementsAre("P20", "P100"));
}

TEST(CallCommand, BuildsOneLineForTheHostToSend) {
  struct Case {
    int32_t Action;
    const char* Number;  // null: no call-settings record at all
    std::string Expected;
  };
  const Case cases[] = {
      {caDial, "12345", "\\D12345\r\n"}, {caDial, "", ""},       {caDial, nullptr, ""},
      {caHangUp, "12345", "\\E"},        {caHangUp, nullptr, "\\E"}, {caAnswer, "", "\\S"},
      {3, "12345", ""},                  {-1, "12345", ""},
      {caDial, "12\r\n\\E", ""},  // a control byte could end the line early
      {caDial, "123\\E", ""},      // a backslash would start a second command
  };
  const int64_t baseline = SharedLiveBlocks();
  auto d = MakeDecoder(nullptr, nullptr, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Action) + " " + (c.Number ? c.Number : "(no record)"));
    const TByteString number(std::string_view(c.Number ? c.Number : ""));
    const TCallSettings settings{0, number.Raw()};
    std::unique_ptr<TStringList> list(d->BuildCallCommand(c.Action, c.Number ? &settings : nullptr));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count(), 1);
    const PSharedStr line = list->Item(0);
    EXPECT_EQ(std::string(line ? line : "", static_cast<std::size_t>(SharedStrLength(line))),
              c.Expected);
  }
  d.reset();
  EXPECT_EQ(SharedLiveBlocks(), baseline);
}

}  // namespace
