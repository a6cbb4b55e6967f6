#include "refhost/output/RecordValues.h"

#include <algorithm>
#include <cstring>

#include "refhost/core/FieldRanges.h"

namespace {

// Layout of the report blocks the decoding library fills (little-endian).
constexpr unsigned IdleBlockBit = 0;
constexpr unsigned DedicatedBlockBit = 1;
constexpr size_t NeighbourCountOffsetIdle = 8;
constexpr size_t NeighbourCountOffsetDedicated = 9;
constexpr size_t NeighboursOffset = 12;
constexpr size_t NeighbourSize = 4;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
int16_t I16(const uint8_t* p) { return static_cast<int16_t>(U16(p)); }

std::vector<TNeighbourCell> Neighbours(const uint8_t* block, size_t blockSize, uint8_t count) {
  std::vector<TNeighbourCell> cells;
  const size_t fits = blockSize > NeighboursOffset ? (blockSize - NeighboursOffset) / NeighbourSize : 0;
  // A report holds six at most: a larger count is the library's damage.
  const size_t n = std::min({size_t{count}, fits, FieldRanges::MaxNeighbours});
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = block + NeighboursOffset + i * NeighbourSize;
    cells.push_back({U16(p), p[2], p[3]});
  }
  return cells;
}

TIdleValues ReadIdle(const uint8_t* b, size_t size) {
  TIdleValues v;
  v.Arfcn = U16(b);
  v.Bsic = b[2];
  v.RxLev = b[3];
  v.C1 = I16(b + 4);
  v.C2 = I16(b + 6);
  v.Neighbours = Neighbours(b, size, b[NeighbourCountOffsetIdle]);
  return v;
}

TDedicatedValues ReadDedicated(const uint8_t* b, size_t size) {
  TDedicatedValues v;
  v.Arfcn = U16(b);
  v.Bsic = b[2];
  v.RxLevFull = b[3];
  v.RxLevSub = b[4];
  v.RxQualFull = b[5];
  v.RxQualSub = b[6];
  v.TimingAdvance = b[7];
  v.TxPower = b[8];
  v.Neighbours = Neighbours(b, size, b[NeighbourCountOffsetDedicated]);
  return v;
}

const uint8_t* Block(const TGSMKindData& data, unsigned bit, size_t minimum) {
  if (!(data.OptionalFlags & (1u << bit)) || !data.OptionalBlocks[bit]) return nullptr;
  if (OptionalBlockSize(tdkGSM, bit) < minimum) return nullptr;
  return static_cast<const uint8_t*>(data.OptionalBlocks[bit]);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

THostRecord DescribeRecord(const TTestDataRecord& record) {
  THostRecord r;
  r.TimeStamp1 = record.TimeStamp1;
  r.TimeStamp2 = record.TimeStamp2;
  r.Longitude = record.PositionX;
  r.Latitude = record.PositionY;
  r.MessageId = MessageIdOf(record);
  r.Dedicated = (record.HostSetting & 1) != 0;
  if (KindOf(record) != tdkGSM || (record.HeaderWord & hwCompactLayout) || !record.KindData)
    return r;
  const auto& data = *static_cast<const TGSMKindData*>(record.KindData);
  if (const uint8_t* b = Block(data, IdleBlockBit, NeighboursOffset))
    r.Idle = ReadIdle(b, OptionalBlockSize(tdkGSM, IdleBlockBit));
  if (const uint8_t* b = Block(data, DedicatedBlockBit, NeighboursOffset)) {
    r.DedicatedReport = ReadDedicated(b, OptionalBlockSize(tdkGSM, DedicatedBlockBit));
    r.Dedicated = true;
  }
  if (r.MessageId != 0 && data.Buffer.Size > 0 && data.Buffer.Data)
    r.Layer3.assign(data.Buffer.Data, data.Buffer.Data + data.Buffer.Size);
  return r;
}

const char* PositionMethodName(TPositionMethod method) {
  switch (method) {
    case TPositionMethod::Interpolated: return "interpolated";
    case TPositionMethod::FirstFix: return "first-fix";
    case TPositionMethod::None: break;
  }
  return "none";
}

const char* CallStateName(TCallStateView state) {
  switch (state) {
    case TCallStateView::Idle: return "idle";
    case TCallStateView::Alerting: return "alerting";
    case TCallStateView::Connected: return "connected";
    case TCallStateView::Released: return "released";
    case TCallStateView::Unknown: break;
  }
  return "unknown";
}

bool PositionMethodFromName(std::string_view name, TPositionMethod& out) {
  for (auto m : {TPositionMethod::None, TPositionMethod::FirstFix, TPositionMethod::Interpolated})
    if (name == PositionMethodName(m)) return out = m, true;
  return false;
}

bool CallStateFromName(std::string_view name, TCallStateView& out) {
  for (auto s : {TCallStateView::Idle, TCallStateView::Alerting, TCallStateView::Connected,
                 TCallStateView::Released, TCallStateView::Unknown})
    if (name == CallStateName(s)) return out = s, true;
  return false;
}

std::string FormatMessageId(uint16_t messageId) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const int d = (messageId >> shift) & 0xF;
    if (!hex.empty() || d != 0 || shift <= 8) hex += digits[d];
  }
  return "0x" + hex;
}

bool ParseMessageId(std::string_view text, uint16_t& out) {
  if (text.size() < 3 || text.size() > 6 || text[0] != '0' || text[1] != 'x') return false;
  unsigned v = 0;
  for (char c : text.substr(2)) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  out = static_cast<uint16_t>(v);
  return true;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    hex += digits[b >> 4];
    hex += digits[b & 0xF];
  }
  return hex;
}

bool FromHex(std::string_view text, std::vector<uint8_t>& out) {
  if (text.size() % 2) return false;
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  out = std::move(bytes);
  return true;
}

std::string FormatNeighbours(const std::vector<TNeighbourCell>& cells) {
  std::string text;
  for (const auto& c : cells) {
    if (!text.empty()) text += ';';
    text += std::to_string(c.Arfcn) + ':' + std::to_string(c.Bsic) + ':' + std::to_string(c.RxLev);
  }
  return text;
}
