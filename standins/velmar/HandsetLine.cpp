#include "standins/velmar/HandsetLine.h"

namespace velmar {
namespace {

constexpr std::size_t MaxDigits = 5;

// Walks the comma-separated fields of one line. Every getter fails on an
// empty or missing field; Done() tells whether all fields were used.
class TFieldReader {
 public:
  explicit TFieldReader(std::string_view text) : Rest(text) {}

  std::optional<std::string_view> Next() {
    if (Finished) return std::nullopt;
    const std::size_t comma = Rest.find(',');
    std::string_view field = Rest.substr(0, comma);
    if (comma == std::string_view::npos) {
      Finished = true;
    } else {
      Rest.remove_prefix(comma + 1);
    }
    if (field.empty()) return std::nullopt;
    return field;
  }

  bool Done() const { return Finished; }

 private:
  std::string_view Rest;
  bool Finished = false;
};

std::optional<int32_t> ParseNumber(std::string_view text, int32_t low, int32_t high) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) {
    if (low >= 0) return std::nullopt;
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > MaxDigits) return std::nullopt;
  int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}

// Reads the next field as a number in [low, high] into `out`.
template <typename T>
bool Read(TFieldReader& fields, int32_t low, int32_t high, T& out) {
  const auto field = fields.Next();
  if (!field) return false;
  const auto value = ParseNumber(*field, low, high);
  if (!value) return false;
  out = static_cast<T>(*value);
  return true;
}

bool ParseNeighbour(std::string_view text, TNeighbour& out) {
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return false;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  const auto arfcn = ParseNumber(text.substr(0, first), 0, 1023);
  const auto bsic = ParseNumber(text.substr(first + 1, second - first - 1), 0, 63);
  const auto rxlev = ParseNumber(text.substr(second + 1), 0, 63);
  if (!arfcn || !bsic || !rxlev) return false;
  out = {static_cast<uint16_t>(*arfcn), static_cast<uint8_t>(*bsic), static_cast<uint8_t>(*rxlev)};
  return true;
}

// The trailing neighbour fields, 0..MaxNeighbours of them.
bool ReadNeighbours(TFieldReader& fields, THandsetLine& line) {
  while (!fields.Done()) {
    const auto field = fields.Next();
    if (!field || line.NeighbourCount == MaxNeighbours) return false;
    if (!ParseNeighbour(*field, line.Neighbours[line.NeighbourCount])) return false;
    ++line.NeighbourCount;
  }
  return true;
}

bool ParseIdle(TFieldReader& fields, THandsetLine& line) {
  line.Kind = TLineKind::Idle;
  return Read(fields, 0, 1023, line.Arfcn) && Read(fields, 0, 63, line.Bsic) &&
         Read(fields, 0, 63, line.RxLev) && Read(fields, -999, 999, line.C1) &&
         Read(fields, -999, 999, line.C2) && ReadNeighbours(fields, line);
}

bool ParseDedicated(TFieldReader& fields, THandsetLine& line) {
  line.Kind = TLineKind::Dedicated;
  return Read(fields, 0, 1023, line.Arfcn) && Read(fields, 0, 63, line.Bsic) &&
         Read(fields, 0, 63, line.RxLev) && Read(fields, 0, 63, line.RxLevSub) &&
         Read(fields, 0, 7, line.RxQualFull) && Read(fields, 0, 7, line.RxQualSub) &&
         Read(fields, 0, 63, line.Ta) && Read(fields, 0, 31, line.TxPower) &&
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
