// What the writers show of a decoded record, read from the record's own
// blocks: message identifier, dedicated flag, idle or dedicated report with
// its neighbours, layer-3 bytes. The index, the final position and how it was
// obtained and the call state are the record store's to fill.
//
// Pure functions; any thread, as long as the record is not changed meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "refhost/core/SessionTypes.h"
#include "testdata/DataAccessAPIUnit.h"

// The values of `record`. Time stamps and the position it carries are copied
// as they are (Method stays None); a kind other than the GSM one, a compact
// layout or no sub-record give a record without report values or layer-3
// bytes. Blocks are read within their known sizes, so a neighbour count
// larger than the block holds is cut to what it holds, and one larger than a
// report holds (FieldRanges::MaxNeighbours) to that. The result owns its
// copies; throws only std::bad_alloc.
THostRecord DescribeRecord(const TTestDataRecord& record);

// Words the outputs use: "interpolated", "first-fix", "none" and "idle",
// "alerting", "connected", "released", "unknown". Static strings.
const char* PositionMethodName(TPositionMethod method);
const char* CallStateName(TCallStateView state);
// The inverses; false, leaving `out` unchanged, for any other word.
bool PositionMethodFromName(std::string_view name, TPositionMethod& out);
bool CallStateFromName(std::string_view name, TCallStateView& out);

// "0x301": a message identifier as the outputs write it (at least three hex
// digits, lower case). And back: false, leaving `out` unchanged, for text
// that is not "0x" followed by 1 to 4 hex digits.
std::string FormatMessageId(uint16_t messageId);
bool ParseMessageId(std::string_view text, uint16_t& out);

// Bytes as lower-case hex pairs, and back (either case; false, leaving `out`
// unchanged, on an odd length or a non-hex character).
std::string ToHex(const std::vector<uint8_t>& bytes);
bool FromHex(std::string_view text, std::vector<uint8_t>& out);

// "62:23:30;71:5:22": neighbours as arfcn:bsic:rxlev separated by ';'.
std::string FormatNeighbours(const std::vector<TNeighbourCell>& cells);
