#include "standins/velmar/HandsetLine.h"

namespace velmar {
namespace {

constexpr std::size_t MaxDigits = 5;

// Walks the comma-separated fields of one line in a single pass: a number
// is read straight from the line, up to the separator that must end it.
// Every reader fails on an empty or missing field; Done() tells whether all
// fields were used.
class TFieldReader {
 public:
  explicit TFieldReader(std::string_view text) : At(text.data()), End(text.data() + text.size()) {}

  // The next field as text.
  std::optional<std::string_view> Next() {
    if (Finished) return std::nullopt;
    const char* const from = At;
    while (At != End && *At != ',') ++At;
    const std::string_view field(from, static_cast<std::size_t>(At - from));
    EndField();
    if (field.empty()) return std::nullopt;
    return field;
  }

  // The next field as a number in [low, high].
  template <typename T>
  bool Read(int32_t low, int32_t high, T& out) {
    int32_t value = 0;
    if (Finished || !Number(low, high, value) || !EndField()) return false;
    out = static_cast<T>(value);
    return true;
  }

  // The next field as a neighbour, arfcn:bsic:rxlev.
  bool ReadNeighbour(TNeighbour& out) {
    int32_t arfcn = 0, bsic = 0, rxlev = 0;
    if (Finished || !Number(0, 1023, arfcn) || !Skip(':') || !Number(0, 63, bsic) || !Skip(':') ||
        !Number(0, 63, rxlev) || !EndField())
      return false;
    out = {static_cast<uint16_t>(arfcn), static_cast<uint8_t>(bsic), static_cast<uint8_t>(rxlev)};
    return true;
  }

  bool Done() const { return Finished; }

 private:
  // 1..MaxDigits decimal digits, with a leading '-' only where the range
  // reaches below zero.
  bool Number(int32_t low, int32_t high, int32_t& out) {
    const bool negative = At != End && *At == '-';
    if (negative) {
      if (low >= 0) return false;
      ++At;
    }
    const char* const first = At;
    int32_t value = 0;
    while (At != End && *At >= '0' && *At <= '9') {
      if (static_cast<std::size_t>(At - first) == MaxDigits) return false;
      value = value * 10 + (*At++ - '0');
    }
    if (At == first) return false;
    if (negative) value = -value;
    if (value < low || value > high) return false;
    out = value;
    return true;
  }

  bool Skip(char separator) {
    if (At == End || *At != separator) return false;
    ++At;
    return true;
  }

  // At the end of a field: the line's end, or a comma before the next field.
  bool EndField() {
    if (At == End) {
      Finished = true;
      return true;
    }
    return Skip(',');
  }

  const char* At;
  const char* const End;
  bool Finished = false;
};

// The trailing neighbour fields, 0..MaxNeighbours of them.
bool ReadNeighbours(TFieldReader& fields, THandsetLine& line) {
  while (!fields.Done()) {
    if (line.NeighbourCount == MaxNeighbours) return false;
    if (!fields.ReadNeighbour(line.Neighbours[line.NeighbourCount])) return false;
    ++line.NeighbourCount;
  }
  return true;
}

bool ParseIdle(TFieldReader& fields, THandsetLine& line) {
  line.Kind = TLineKind::Idle;
  return fields.Read(0, 1023, line.Arfcn) && fields.Read(0, 63, line.Bsic) && fields.Read(0, 63, line.RxLev) &&
         fields.Read(-999, 999, line.C1) && fields.Read(-999, 999, line.C2) && ReadNeighbours(fields, line);
}

bool ParseDedicated(TFieldReader& fields, THandsetLine& line) {
  line.Kind = TLineKind::Dedicated;
  return fields.Read(0, 1023, line.Arfcn) && fields.Read(0, 63, line.Bsic) && fields.Read(0, 63, line.RxLev) &&
         fields.Read(0, 63, line.RxLevSub) && fields.Read(0, 7, line.RxQualFull) &&
         fields.Read(0, 7, line.RxQualSub) && fields.Read(0, 63, line.Ta) && fields.Read(0, 31, line.TxPower) &&
         ReadNeighbours(fields, line);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseSignalling(TFieldReader& fields, THandsetLine& line) {
  line.Kind = TLineKind::Signalling;
  const auto hex = fields.Next();
  if (!hex || !fields.Done() || hex->size() % 2 != 0) return false;
  const std::size_t count = hex->size() / 2;
  if (count < MinMessageBytes || count > MaxMessageBytes) return false;
  line.Message.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const int high = HexValue((*hex)[2 * i]);
    const int low = HexValue((*hex)[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    line.Message[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace

bool IsWellFormedLine(std::string_view line) {
  if (line.empty() || line.size() > MaxLineLength) return false;
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) return false;
  }
  return true;
}

bool IsConnectAnswer(std::string_view line) { return line == ConnectAnswer; }

std::optional<THandsetLine> ParseReportLine(std::string_view text) {
  if (!IsWellFormedLine(text)) return std::nullopt;
  TFieldReader fields(text);
  const auto tag = fields.Next();
  if (!tag) return std::nullopt;
  THandsetLine line;
  bool parsed = false;
  if (*tag == "IDLE") {
    parsed = ParseIdle(fields, line);
  } else if (*tag == "DED") {
    parsed = ParseDedicated(fields, line);
  } else if (*tag == "L3") {
    parsed = ParseSignalling(fields, line);
  }
  if (!parsed || !fields.Done()) return std::nullopt;
  return line;
}

uint16_t MessageIdOfMessage(const std::vector<uint8_t>& message) {
  constexpr uint8_t pdCallControl = 0x3, pdMobilityManagement = 0x5;
  const uint8_t pd = message[0] & 0x0F;
  uint8_t type = message[1];
  // Uplink CC and MM messages carry the send sequence number in bits 6-7.
  if (pd == pdCallControl || pd == pdMobilityManagement) type &= 0x3F;
  return static_cast<uint16_t>(pd << 8 | type);
}

}  // namespace velmar
