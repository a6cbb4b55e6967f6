#include "StandinsSupport.h"

#include <cstdio>
#include <sstream>

namespace standins_test {
namespace {

void Append(std::vector<uint8_t>& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

std::string Hex(const uint8_t* data, std::size_t size) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", data[i]);
    text += pair;
  }
  return text;
}

// Neighbour n at +12 + 4n: u16 arfcn, u8 bsic, u8 rxlev. Every byte from
// after the count to +12, and after the last neighbour to the block's end,
// must be zero.
void PutNeighbours(std::ostream& out, const void* block, std::size_t countAt, std::size_t blockSize) {
  const unsigned count = U8(block, countAt);
  out << " nb=" << count;
  for (unsigned i = 0; i < count && i < 6; ++i) {
    const std::size_t at = 12 + 4 * i;
    out << ' ' << U16(block, at) << ':' << U8(block, at + 2) << ':' << U8(block, at + 3);
  }
  bool zero = true;
  for (std::size_t at = countAt + 1; at < 12; ++at) zero = zero && U8(block, at) == 0;
  for (std::size_t at = 12 + 4 * count; at < blockSize; ++at) zero = zero && U8(block, at) == 0;
  if (!zero) out << " RESERVED-BYTES-SET";
}

// The idle block: +0 arfcn, +2 bsic, +3 rxlev, +4 c1, +6 c2, +8 neighbours.
void PutIdle(std::ostream& out, const void* block) {
  out << " idle arfcn=" << U16(block, 0) << " bsic=" << U8(block, 2) << " rxlev=" << U8(block, 3)
      << " c1=" << S16(block, 4) << " c2=" << S16(block, 6);
  PutNeighbours(out, block, 8, OptionalBlockSize(tdkGSM, 0));
}

// The dedicated block: +0 arfcn, +2 bsic, +3/+4 rxlev full/sub, +5/+6 rxqual
// full/sub, +7 ta, +8 txpower, +9 neighbours.
void PutDedicated(std::ostream& out, const void* block) {
  out << " ded arfcn=" << U16(block, 0) << " bsic=" << U8(block, 2) << " rxlev=" << U8(block, 3)
      << '/' << U8(block, 4) << " rxqual=" << U8(block, 5) << '/' << U8(block, 6)
      << " ta=" << U8(block, 7) << " txpower=" << U8(block, 8);
  PutNeighbours(out, block, 9, OptionalBlockSize(tdkGSM, 1));
}

std::string Trimmed(const std::string& line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace

std::vector<uint8_t> Snapshot(const TTestDataRecord& record) {
  std::vector<uint8_t> out;
  Append(out, &record, sizeof record);
  if (!record.KindData) return out;
  const auto& sub = *static_cast<const TGSMKindData*>(record.KindData);
  Append(out, &sub, sizeof sub);
  if (sub.Buffer.Size > 0) Append(out, sub.Buffer.Data, sub.Buffer.Size);
  for (unsigned bit = 0; bit < 5; ++bit) {
    if (sub.OptionalFlags & (1u << bit)) Append(out, sub.OptionalBlocks[bit], OptionalBlockSize(tdkGSM, bit));
  }
  return out;
}

std::string Summarise(const TTestDataRecord& record) {
  std::ostringstream out;
  char id[8];
  std::snprintf(id, sizeof id, "0x%03X", static_cast<unsigned>(MessageIdOf(record)));
  out << "id=" << id << " word=" << record.MessageWord << " host=" << unsigned{record.HostSetting};
  if (!record.KindData) return out.str() + " no-subrecord";
  const auto& sub = *static_cast<const TGSMKindData*>(record.KindData);
  out << " flags=" << sub.OptionalFlags << " buffer=" << (sub.Buffer.Size ? Hex(sub.Buffer.Data, sub.Buffer.Size) : "-");
  if (sub.Entries.EntryCount || sub.Tagged.TagCount) out << " ENTRIES-OR-TAGS-SET";
  if (sub.OptionalFlags & 1u) PutIdle(out, sub.OptionalBlocks[0]);
  if (sub.OptionalFlags & 2u) PutDedicated(out, sub.OptionalBlocks[1]);
  return out.str();
}

std::string SummariseLineFile(const std::string& text) {
  std::istringstream in(text);
  std::ostringstream out;
  TDecodeBench bench;
  std::string line;
  while (std::getline(in, line)) {
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    out << line << '\n';
    out << "  connect=" << (ConnectAnswer(line) ? "yes" : "no");
    const auto before = Snapshot(*bench.Record);
    if (bench.Decode(line)) {
      out << " decoded " << Summarise(*bench.Record) << '\n';
    } else {
      out << " rejected, record " << (Snapshot(*bench.Record) == before ? "unchanged" : "CHANGED") << '\n';
    }
  }
  out << "# decode state: decoded=" << U32(bench.DecodeState, 0) << " rejected=" << U32(bench.DecodeState, 4)
      << '\n';
  return out.str();
}

}  // namespace standins_test
