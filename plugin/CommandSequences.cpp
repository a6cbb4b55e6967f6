// The decoder's command sequences: port preparation, the connect request, the
// test start-up, the report refresh after each stored record, and the
// call-control text the host fetches and sends itself.
//
// Every byte for the handset goes through SendText, which contains a failing
// write by closing the port. Nothing is written while the host replays a
// recorded file; the purges and the port set-up still happen then.
#include <utility>
#include <vector>

#include "plugin/Orvik7316MSDecode.h"
#include "serial/Orvik7316Cmd.h"
#include "serial/SendText.h"
#include "support/MyClasses.h"

namespace {

constexpr uint32_t CommandPauseMs = 5;
constexpr uint32_t ReopenPauseMs = 20;
constexpr uint8_t PortOptionByte = 6;  // position of "9600" in BaudRates
constexpr int32_t PortOptionA = 100;
constexpr int32_t PortOptionB = 100;

// The one-line list of slot 63; the host releases it with delete.
class TCallCommandList final : public TStringList {
 public:
  explicit TCallCommandList(TByteString line) { Lines.push_back(std::move(line)); }
  int32_t Count() const override { return static_cast<int32_t>(Lines.size()); }
  PSharedStr Item(int32_t index) const override {
    if (index < 0 || index >= Count()) return nullptr;
    return Lines[static_cast<std::size_t>(index)].Raw();
  }

 private:
  std::vector<TByteString> Lines;
};

template <std::size_t N>
void FillList(TIntegerArray& list, const std::array<int32_t, N>& commands) {
  list.Clear();
  for (const int32_t index : commands) list.Add(index);
}

}  // namespace

void TOrvik7316MSDecode::SendCommand(int32_t index) {
  try {
    if (IsReplaying()) return;
    SendText(Port, CommandStrings[static_cast<std::size_t>(index)]);
    Pause(CommandPauseMs);
  } catch (...) {
    // A command is never acknowledged; a failure costs only that command.
  }
}

void TOrvik7316MSDecode::SendCommandList(const TIntegerArray& list) {
  if (IsReplaying()) return;
  for (int32_t i = 0; i < list.Count; ++i) SendCommand(list.Get(i));
}

void TOrvik7316MSDecode::RunStartupSequence() {
  if (Port != nullptr) {
    Port->PurgeA();
    Port->PurgeB();
  }
  StartTest();  // slot 23, before the first command
  FillList(*CommandList, StartupCommands);
  SendCommandList(*CommandList);
}

void TOrvik7316MSDecode::RefreshReports() {
  if (IsDedicatedMode()) {  // slot 48
    FillList(*CommandList, DedicatedReportCommands);
  } else {
    FillList(*CommandList, IdleReportCommands);
  }
  SendCommandList(*CommandList);
}

void TOrvik7316MSDecode::PreparePort() {
  TDevicePort* const port = GetPort();  // slot 9
  if (port == nullptr) return;
  port->SetOptionByte(PortOptionByte);
  port->SetOptionA(PortOptionA);
  port->SetOptionB(PortOptionB);
  try {
    port->EnableA(true);
    port->EnableB(true);
  } catch (...) {
    // The handset may still answer without them; a failing EnableA skips EnableB.
  }
  port->PurgeA();
  port->PurgeB();
}

void TOrvik7316MSDecode::ReopenAndStartTest() {
  if (Port != nullptr) Port->Close();
  Pause(ReopenPauseMs);
  if (Port != nullptr) Port->Open(true);
  RunStartupSequence();
}

void TOrvik7316MSDecode::SendConnectRequest(bool) {
  if (IsReplaying()) return;
  SendText(Port, ConnectRequest);
}

TStringList* TOrvik7316MSDecode::BuildCallCommand(int32_t action, const TCallSettings* settings) {
  // Without the host's record there is no number: dialling then gives the
  // empty text, as for an empty number.
  const TByteString number =
      settings != nullptr ? TByteString::Share(settings->Number) : TByteString();
  return new TCallCommandList(FormatCallCommand(action, number));
}
