// The handset's report lines (docs/handset-line-format.md): checks and
// parsing, without touching any record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace velmar {

constexpr std::size_t MaxLineLength = 512;
constexpr std::size_t MaxNeighbours = 6;
constexpr std::size_t MinMessageBytes = 2;
constexpr std::size_t MaxMessageBytes = 251;
constexpr std::string_view ConnectAnswer{"CONN,123\\2"};

enum class TLineKind : uint8_t { Idle, Dedicated, Signalling };

struct TNeighbour {
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  uint8_t RxLev = 0;
};

struct THandsetLine {
  TLineKind Kind = TLineKind::Idle;
  // Serving cell (Idle and Dedicated).
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  uint8_t RxLev = 0;  // idle RxLev, or dedicated RxLev full
  int16_t C1 = 0, C2 = 0;  // Idle only
  uint8_t RxLevSub = 0, RxQualFull = 0, RxQualSub = 0, Ta = 0, TxPower = 0;  // Dedicated only
  uint8_t NeighbourCount = 0;
  std::array<TNeighbour, MaxNeighbours> Neighbours{};
  // Signalling: the message bytes, protocol discriminator octet first.
  std::vector<uint8_t> Message;
};

// 1..MaxLineLength bytes, each printable ASCII (0x20..0x7E).
bool IsWellFormedLine(std::string_view line);

bool IsConnectAnswer(std::string_view line);

// The IDLE, DED or L3 line, or nothing when the line breaks any rule.
// Out of memory raises std::bad_alloc.
std::optional<THandsetLine> ParseReportLine(std::string_view line);

// (PD << 8) | MT of a signalling message of at least two bytes.
uint16_t MessageIdOfMessage(const std::vector<uint8_t>& message);

}  // namespace velmar
