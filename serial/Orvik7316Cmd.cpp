#include "serial/Orvik7316Cmd.h"

#include <algorithm>
#include <string>

constexpr std::array<std::string_view, CommandCount> CommandStrings{
    "\\D",  // 0
    "\\E",  // 1
    "\\L",  // 2
    "\\S",  // 3
    "**Z",  // 4
    "**O",  // 5
    "*T",  // 6
    "*D",  // 7
    "&W",  // 8
    "&F",  // 9
    "*P",  // 10
    "5",  // 11
    "\\F",  // 12
    "G",  // 13
    "H",  // 14
    "K",  // 15
    "L",  // 16
    "M",  // 17
    "N",  // 18
    "O",  // 19
    "\\O",  // 20
    "+S",  // 21
    "+T",  // 22
    "U",  // 23
    "V",  // 24
    "X0",  // 25
    "XD",  // 26
    "XG",  // 27
    "*B",  // 28
    "*S",  // 29
    "1",  // 30
    "6",  // 31
    "*1",  // 32
    "*6",  // 33
    "\\1",  // 34
    "\\6",  // 35
    "2",  // 36
    "7",  // 37
    "3",  // 38
    "8",  // 39
    "\\3",  // 40
    "\\8",  // 41
    "4",  // 42
    "9",  // 43
    "A",  // 44
    "B",  // 45
    "\\A",  // 46
    "\\B",  // 47
    "C",  // 48
    "D",  // 49
    "+C",  // 50
    "+D",  // 51
    "E",  // 52
    "F",  // 53
    "+E",  // 54
    "+F",  // 55
    "P",  // 56
    "Q",  // 57
    "+P",  // 58
    "+Q",  // 59
    "S",  // 60
    "T",  // 61
    "\\V",  // 62
    "\\W",  // 63
    "*2",  // 64
    "*7",  // 65
    "*3",  // 66
    "*8",  // 67
    "*4",  // 68
    "*9",  // 69
    "*I",  // 70
    "(-I)",  // 71
    "*W",  // 72
    "*Y",  // 73
    "-Y",  // 74
    "0",  // 75
    "+0",  // 76
    "\\0",  // 77
    "\\C",  // 78
    "I",  // 79
    "+I",  // 80
    "-I",  // 81
    "J",  // 82
    "+J",  // 83
    "-J",  // 84
    "Y",  // 85
    "W",  // 86
    "*0",  // 87
    "*M",  // 88
};

constexpr std::array<std::string_view, CommandCount> CommandNames{
    "Sending a call",  // 0
    "Terminating a call",  // 1
    "Sending the last call",  // 2
    "Answering a call",  // 3
    "Turning off the mobile",  // 4
    "Turning on the mobile",  // 5
    "Commuting to TRACE mode",  // 6
    "Commuting to DATA(AT) mode",  // 7
    "TRACE Configuration Store Active",  // 8
    "TRACE Configuration Store Inactive",  // 9
    "PAUSE Output",  // 10
    "Force BCCH In IDLE Mode",  // 11
    "Force Handover",  // 12
    "Handover Suppression Enable",  // 13
    "Handover Suppression Disable",  // 14
    "Cell Bar Suppression Enable",  // 15
    "Cell Bar Suppression Disable",  // 16
    "PathLoss Suppression Enable",  // 17
    "PathLoss Suppression Disable",  // 18
    "Set Power Class",  // 19
    "Force Location Update",  // 20
    "Scanning Mode Enable",  // 21
    "Scanning Mode Disable",  // 22
    "EFR Suppression Enable",  // 23
    "EFR Suppression Disable",  // 24
    "Force Frequency Band 0",  // 25
    "Force Frequency Band D",  // 26
    "Force Frequency Band G",  // 27
    "Select Band",  // 28
    "Enter Configurable Scanning Mode",  // 29
    "Idle Mode Enable",  // 30
    "Idle Mode Disable",  // 31
    "Full Idle Mode Enable",  // 32
    "Full Idle Mode Disable",  // 33
    "PathLoss Enable",  // 34
    "PathLoss Disable",  // 35
    "Dedicated Mode Enable",  // 36
    "Dedicated Mode Disable",  // 37
    "L3 Message Enable",  // 38
    "L3 Message Disable",  // 39
    "C2 Enable",  // 40
    "C2 Disable",  // 41
    "L1 Message Enable",  // 42
    "L1 Message Disable",  // 43
    "SACCH Enable",  // 44
    "SACCH Disable",  // 45
    "Complete SACCH Enable",  // 46
    "Complete SACCH Disable",  // 47
    "Channel Req/Immediate Assign Enable",  // 48
    "Channel Req/Immediate Assign Disable",  // 49
    "Channel Req/Immediate Assign + Rest Enable",  // 50
    "Channel Req/Immediate Assign + Rest Disable",  // 51
    "BCCH Enable",  // 52
    "BCCH Disable",  // 53
    "BCCH + Rest Enable",  // 54
    "BCCH + Rest Disable",  // 55
    "Paging Enable",  // 56
    "Paging Disable",  // 57
    "Paging + Rest Enable",  // 58
    "Paging + Rest Disable",  // 59
    "Sync Enable",  // 60
    "Sync Disable",  // 61
    "MeasureMent Enable",  // 62
    "MeasureMent Disable",  // 63
    "Full Dedicated Enable",  // 64
    "Full Dedicated Disable",  // 65
    "BA List Enable",  // 66
    "BA List Disable",  // 67
    "CA List Enable",  // 68
    "CA List Disable",  // 69
    "Full Idle Channel Desp On Change Enable",  // 70
    "Full Idle Channel Desp On Change Disable",  // 71
    "Set Report Flag Enable",  // 72
    "Service State On Change Enable",  // 73
    "Service State On Change Disable",  // 74
    "Test Mode Status Enable",  // 75
    "Additional Test Mode Status Enable",  // 76
    "False Measurement Report Target Frequency Enable",  // 77
    "Cell ID Enable",  // 78
    "Idle Channel Description Enable",  // 79
    "Idle Channel Description On Change Enable",  // 80
    "Idle Channel Description On Change Disable",  // 81
    "Dedicated Channel Description Enable",  // 82
    "Dedicated Channel Description On Change Enable",  // 83
    "Dedicated Channel Description On Change Disable",  // 84
    "Service state Enable",  // 85
    "EFR State Enable",  // 86
    "Caesium Test Model Status Enable",  // 87
    "Model Enable",  // 88
};

constexpr std::array<std::string_view, 18> BaudRates{
    "110",   "300",   "600",    "1200",   "2400",   "4800",   "9600",   "14400",  "19200",
    "38400", "56000", "57600",  "115200", "128000", "230400", "256000", "460800", "921600",
};

namespace {

// A short initializer list would leave empty entries behind.
constexpr bool AllFilled(const auto& table) {
  return std::none_of(table.begin(), table.end(), [](std::string_view s) { return s.empty(); });
}
static_assert(AllFilled(CommandStrings) && AllFilled(CommandNames) && AllFilled(BaudRates));

constexpr bool InCatalogue(const auto& sequence) {
  return std::all_of(sequence.begin(), sequence.end(),
                     [](int32_t i) { return i >= 0 && i < CommandCount; });
}
static_assert(InCatalogue(StartupCommands) && InCatalogue(IdleReportCommands) &&
              InCatalogue(DedicatedReportCommands));

constexpr std::string_view LineEnd{"\r\n", 2};

// Digits, '*', '#', the pause characters 'p' and 'w' (either case), and '+'
// only as the first byte. The handset reads commands back to back, so any
// other byte (a backslash above all) could start a second command.
bool IsDialString(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == 'p' || c == 'w' || c == 'P' ||
           c == 'W';
  });
}

}  // namespace

TByteString FormatCallCommand(int32_t action, const TByteString& number) {
  switch (action) {
    case caDial: {
      if (number.empty() || !IsDialString(number.view())) return {};
      std::string text(CommandStrings[0]);
      text.append(number.view());
      text.append(LineEnd);
      return TByteString(text);
    }
    case caHangUp:
      return TByteString(CommandStrings[1]);
    case caAnswer:
      return TByteString(CommandStrings[3]);
    default:
      return {};
  }
}
