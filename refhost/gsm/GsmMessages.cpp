#include "refhost/gsm/GsmMessages.h"

#include <algorithm>
#include <array>

namespace {

struct TEntry {
  uint16_t Id;
  const char* Name;
  TGsmChannel Channel;
};

constexpr uint16_t Cc(uint8_t mt) { return GsmPdCallControl << 8 | mt; }
constexpr uint16_t Mm(uint8_t mt) { return GsmPdMobility << 8 | mt; }
constexpr uint16_t Rr(uint8_t mt) { return GsmPdRadioResource << 8 | mt; }

using enum TGsmChannel;

// Sorted by identifier (checked below) so a lookup is a binary search.
constexpr std::array Table{
    TEntry{Cc(0x01), "ALERTING", Dcch},
    TEntry{Cc(0x02), "CALL PROCEEDING", Dcch},
    TEntry{Cc(0x03), "PROGRESS", Dcch},
    TEntry{Cc(0x05), "SETUP", Dcch},
    TEntry{Cc(0x07), "CONNECT", Dcch},
    TEntry{Cc(0x08), "CALL CONFIRMED", Dcch},
    TEntry{Cc(0x0E), "EMERGENCY SETUP", Dcch},
    TEntry{Cc(0x0F), "CONNECT ACKNOWLEDGE", Dcch},
    TEntry{Cc(0x10), "USER INFORMATION", Dcch},
    TEntry{Cc(0x13), "MODIFY REJECT", Dcch},
    TEntry{Cc(0x17), "MODIFY", Dcch},
    TEntry{Cc(0x18), "HOLD", Dcch},
    TEntry{Cc(0x19), "HOLD ACKNOWLEDGE", Dcch},
    TEntry{Cc(0x1A), "HOLD REJECT", Dcch},
    TEntry{Cc(0x1C), "RETRIEVE", Dcch},
    TEntry{Cc(0x1D), "RETRIEVE ACKNOWLEDGE", Dcch},
    TEntry{Cc(0x1E), "RETRIEVE REJECT", Dcch},
    TEntry{Cc(0x1F), "MODIFY COMPLETE", Dcch},
    TEntry{Cc(0x25), "DISCONNECT", Dcch},
    TEntry{Cc(0x2A), "RELEASE COMPLETE", Dcch},
    TEntry{Cc(0x2D), "RELEASE", Dcch},
    TEntry{Cc(0x31), "STOP DTMF", Dcch},
    TEntry{Cc(0x32), "STOP DTMF ACKNOWLEDGE", Dcch},
    TEntry{Cc(0x34), "STATUS ENQUIRY", Dcch},
    TEntry{Cc(0x35), "START DTMF", Dcch},
    TEntry{Cc(0x36), "START DTMF ACKNOWLEDGE", Dcch},
    TEntry{Cc(0x37), "START DTMF REJECT", Dcch},
    TEntry{Cc(0x39), "CONGESTION CONTROL", Dcch},
    TEntry{Cc(0x3A), "FACILITY", Dcch},
    TEntry{Cc(0x3D), "STATUS", Dcch},
    TEntry{Cc(0x3E), "NOTIFY", Dcch},
    TEntry{Mm(0x01), "IMSI DETACH INDICATION", Dcch},
    TEntry{Mm(0x02), "LOCATION UPDATING ACCEPT", Dcch},
    TEntry{Mm(0x04), "LOCATION UPDATING REJECT", Dcch},
    TEntry{Mm(0x08), "LOCATION UPDATING REQUEST", Dcch},
    TEntry{Mm(0x11), "AUTHENTICATION REJECT", Dcch},
    TEntry{Mm(0x12), "AUTHENTICATION REQUEST", Dcch},
    TEntry{Mm(0x14), "AUTHENTICATION RESPONSE", Dcch},
    TEntry{Mm(0x18), "IDENTITY REQUEST", Dcch},
    TEntry{Mm(0x19), "IDENTITY RESPONSE", Dcch},
    TEntry{Mm(0x1A), "TMSI REALLOCATION COMMAND", Dcch},
    TEntry{Mm(0x1B), "TMSI REALLOCATION COMPLETE", Dcch},
    TEntry{Mm(0x21), "CM SERVICE ACCEPT", Dcch},
    TEntry{Mm(0x22), "CM SERVICE REJECT", Dcch},
    TEntry{Mm(0x23), "CM SERVICE ABORT", Dcch},
    TEntry{Mm(0x24), "CM SERVICE REQUEST", Dcch},
    TEntry{Mm(0x28), "CM REESTABLISHMENT REQUEST", Dcch},
    TEntry{Mm(0x29), "ABORT", Dcch},
    TEntry{Mm(0x30), "MM NULL", Dcch},
    TEntry{Mm(0x31), "MM STATUS", Dcch},
    TEntry{Mm(0x32), "MM INFORMATION", Dcch},
    TEntry{Rr(0x00), "SYSTEM INFORMATION TYPE 13", Bcch},
    TEntry{Rr(0x02), "SYSTEM INFORMATION TYPE 2bis", Bcch},
    TEntry{Rr(0x03), "SYSTEM INFORMATION TYPE 2ter", Bcch},
    TEntry{Rr(0x04), "SYSTEM INFORMATION TYPE 9", Bcch},
    TEntry{Rr(0x05), "SYSTEM INFORMATION TYPE 5bis", Dcch},
    TEntry{Rr(0x06), "SYSTEM INFORMATION TYPE 5ter", Dcch},
    TEntry{Rr(0x07), "SYSTEM INFORMATION TYPE 2quater", Bcch},
    TEntry{Rr(0x0D), "CHANNEL RELEASE", Dcch},
    TEntry{Rr(0x10), "CHANNEL MODE MODIFY", Dcch},
    TEntry{Rr(0x12), "RR STATUS", Dcch},
    TEntry{Rr(0x13), "CLASSMARK ENQUIRY", Dcch},
    TEntry{Rr(0x15), "MEASUREMENT REPORT", Dcch},
    TEntry{Rr(0x16), "CLASSMARK CHANGE", Dcch},
    TEntry{Rr(0x17), "CHANNEL MODE MODIFY ACKNOWLEDGE", Dcch},
    TEntry{Rr(0x18), "SYSTEM INFORMATION TYPE 8", Bcch},
    TEntry{Rr(0x19), "SYSTEM INFORMATION TYPE 1", Bcch},
    TEntry{Rr(0x1A), "SYSTEM INFORMATION TYPE 2", Bcch},
    TEntry{Rr(0x1B), "SYSTEM INFORMATION TYPE 3", Bcch},
    TEntry{Rr(0x1C), "SYSTEM INFORMATION TYPE 4", Bcch},
    TEntry{Rr(0x1D), "SYSTEM INFORMATION TYPE 5", Dcch},
    TEntry{Rr(0x1E), "SYSTEM INFORMATION TYPE 6", Dcch},
    TEntry{Rr(0x1F), "SYSTEM INFORMATION TYPE 7", Bcch},
    TEntry{Rr(0x21), "PAGING REQUEST TYPE 1", Ccch},
    TEntry{Rr(0x22), "PAGING REQUEST TYPE 2", Ccch},
    TEntry{Rr(0x24), "PAGING REQUEST TYPE 3", Ccch},
    TEntry{Rr(0x27), "PAGING RESPONSE", Dcch},
    TEntry{Rr(0x28), "HANDOVER FAILURE", Dcch},
    TEntry{Rr(0x29), "ASSIGNMENT COMPLETE", Dcch},
    TEntry{Rr(0x2B), "HANDOVER COMMAND", Dcch},
    TEntry{Rr(0x2C), "HANDOVER COMPLETE", Dcch},
    TEntry{Rr(0x2D), "PHYSICAL INFORMATION", Dcch},
    TEntry{Rr(0x2E), "ASSIGNMENT COMMAND", Dcch},
    TEntry{Rr(0x2F), "ASSIGNMENT FAILURE", Dcch},
    TEntry{Rr(0x32), "CIPHERING MODE COMPLETE", Dcch},
    TEntry{Rr(0x35), "CIPHERING MODE COMMAND", Dcch},
    TEntry{Rr(0x39), "IMMEDIATE ASSIGNMENT EXTENDED", Ccch},
    TEntry{Rr(0x3A), "IMMEDIATE ASSIGNMENT REJECT", Ccch},
    TEntry{Rr(0x3D), "SYSTEM INFORMATION TYPE 16", Bcch},
    TEntry{Rr(0x3E), "SYSTEM INFORMATION TYPE 17", Bcch},
    TEntry{Rr(0x3F), "IMMEDIATE ASSIGNMENT", Ccch},
};

constexpr bool Sorted() {
  for (size_t i = 1; i < Table.size(); ++i)
    if (Table[i - 1].Id >= Table[i].Id) return false;
  return true;
}
static_assert(Sorted(), "message table must be sorted by identifier without repeats");

const TEntry* Find(uint16_t id) {
  const auto it = std::lower_bound(Table.begin(), Table.end(), id,
                                   [](const TEntry& e, uint16_t v) { return e.Id < v; });
  return it != Table.end() && it->Id == id ? &*it : nullptr;
}

}  // namespace

TGsmMessageInfo LookupGsmMessage(uint16_t messageId) {
  const TEntry* e = Find(messageId);
  return e ? TGsmMessageInfo{e->Name, e->Channel} : TGsmMessageInfo{"UNKNOWN", Dcch};
}

bool IsKnownGsmMessage(uint16_t messageId) { return Find(messageId) != nullptr; }

bool IsSacchMessage(uint16_t messageId) {
  switch (messageId) {
    case Rr(0x05):
    case Rr(0x06):
    case Rr(0x15):
    case Rr(0x1D):
    case Rr(0x1E): return true;
    default: return false;
  }
}

uint16_t GsmMessageId(const uint8_t* message, int length) {
  if (message == nullptr || length < 2) return 0;
  const uint8_t pd = message[0] & 0x0F;
  uint8_t mt = message[1];
  if (pd == GsmPdCallControl || pd == GsmPdMobility) mt &= 0x3F;
  return static_cast<uint16_t>(pd << 8 | mt);
}
