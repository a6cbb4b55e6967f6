#include "refhost/gsm/SystemInfo.h"

#include "refhost/gsm/GsmMessages.h"

namespace {

constexpr uint8_t Si3 = 0x1B, Si4 = 0x1C, Si6 = 0x1E;
constexpr uint8_t ChannelRelease = 0x0D, HandoverFailure = 0x28, HandoverCommand = 0x2B;
constexpr uint8_t LuReject = 0x04, CmServiceReject = 0x22, CmServiceRequest = 0x24;

// A radio resource message of `type`: PD 6 and a skip indicator of 0 (a
// receiver ignores any other, so do we).
bool IsRr(const uint8_t* m, size_t length, uint8_t type) {
  return m != nullptr && length >= 2 && m[0] == GsmPdRadioResource && m[1] == type;
}

// Mobility management: PD 5, skip indicator 0; the type without the send
// sequence number of bits 7-8.
bool IsMm(const uint8_t* m, size_t length, uint8_t type) {
  return m != nullptr && length >= 2 && m[0] == GsmPdMobility && (m[1] & 0x3F) == type;
}

bool Digit(uint8_t nibble, uint16_t& value) {
  if (nibble > 9) return false;
  value = static_cast<uint16_t>(value * 10 + nibble);
  return true;
}

}  // namespace

bool ReadLocationArea(const uint8_t* lai, size_t length, TGsmCellInfo& out) {
  if (lai == nullptr || length < 5) return false;
  uint16_t mcc = 0, mnc = 0;
  if (!Digit(lai[0] & 0x0F, mcc) || !Digit(lai[0] >> 4, mcc) || !Digit(lai[1] & 0x0F, mcc)) return false;
  if (!Digit(lai[2] & 0x0F, mnc) || !Digit(lai[2] >> 4, mnc)) return false;
  const uint8_t third = lai[1] >> 4;
  uint8_t digits = 2;
  if (third != 0x0F) {
    if (!Digit(third, mnc)) return false;
    digits = 3;
  }
  out.Mcc = mcc;
  out.Mnc = mnc;
  out.MncDigits = digits;
  out.Lac = static_cast<uint16_t>(lai[3] << 8 | lai[4]);
  return true;
}

bool ReadSystemInformation(const uint8_t* m, size_t length, TGsmCellInfo& out) {
  TGsmCellInfo info;
  // Types 3 and 6: cell identity (2 octets), then the location area (5);
  // type 4 starts with the location area.
  if (IsRr(m, length, Si3) || IsRr(m, length, Si6)) {
    if (length < 2 + 2 + 5 || !ReadLocationArea(m + 4, length - 4, info)) return false;
    info.CellId = static_cast<uint16_t>(m[2] << 8 | m[3]);
    info.HasCellId = true;
  } else if (IsRr(m, length, Si4)) {
    if (!ReadLocationArea(m + 2, length - 2, info)) return false;
  } else {
    return false;
  }
  out = info;
  return true;
}

bool ReadRrCause(const uint8_t* m, size_t length, uint8_t& cause) {
  if (!(IsRr(m, length, ChannelRelease) || IsRr(m, length, HandoverFailure)) || length < 3) return false;
  cause = m[2];
  return true;
}

bool ReadHandoverTarget(const uint8_t* m, size_t length, uint16_t& arfcn, uint8_t& bsic) {
  if (!IsRr(m, length, HandoverCommand) || length < 4) return false;
  // Cell description: ARFCN high bits 8-7 of the first octet, NCC and BCC
  // in bits 6-1; the ARFCN's low eight bits in the second.
  arfcn = static_cast<uint16_t>((m[2] >> 6) << 8 | m[3]);
  bsic = m[2] & 0x3F;
  return true;
}

bool ReadMmRejectCause(const uint8_t* m, size_t length, uint8_t& cause) {
  if (!(IsMm(m, length, LuReject) || IsMm(m, length, CmServiceReject)) || length < 3) return false;
  cause = m[2];
  return true;
}

bool ReadCmServiceType(const uint8_t* m, size_t length, uint8_t& serviceType) {
  if (!IsMm(m, length, CmServiceRequest) || length < 3) return false;
  serviceType = m[2] & 0x0F;
  return true;
}

std::string RrCauseText(uint8_t cause) {
  const char* text = "RR cause";
  switch (cause) {
    case 0x00: text = "normal event"; break;
    case 0x01: text = "abnormal release, unspecified"; break;
    case 0x02: text = "abnormal release, channel unacceptable"; break;
    case 0x03: text = "abnormal release, timer expired"; break;
    case 0x04: text = "abnormal release, no activity on the radio path"; break;
    case 0x05: text = "preemptive release"; break;
    case 0x08: text = "handover impossible, timing advance out of range"; break;
    case 0x09: text = "channel mode unacceptable"; break;
    case 0x0A: text = "frequency not implemented"; break;
    case 0x41: text = "call already cleared"; break;
    case 0x5F: text = "semantically incorrect message"; break;
    case 0x60: text = "invalid mandatory information"; break;
    case 0x61: text = "message type non-existent"; break;
    case 0x64: text = "conditional IE error"; break;
    case 0x65: text = "no cell allocation available"; break;
    case 0x6F: text = "protocol error, unspecified"; break;
    default: break;
  }
  return std::string(text) + " (" + std::to_string(cause) + ")";
}

std::string MmCauseText(uint8_t cause) {
  const char* text = "MM cause";
  switch (cause) {
    case 2: text = "IMSI unknown in HLR"; break;
    case 3: text = "illegal MS"; break;
    case 4: text = "IMSI unknown in VLR"; break;
    case 6: text = "illegal ME"; break;
    case 11: text = "PLMN not allowed"; break;
    case 12: text = "location area not allowed"; break;
    case 13: text = "roaming not allowed in this location area"; break;
    case 15: text = "no suitable cells in location area"; break;
    case 17: text = "network failure"; break;
    case 22: text = "congestion"; break;
    case 32: text = "service option not supported"; break;
    case 33: text = "requested service option not subscribed"; break;
    case 34: text = "service option temporarily out of order"; break;
    case 95: text = "semantically incorrect message"; break;
    case 111: text = "protocol error, unspecified"; break;
    default: break;
  }
  return std::string(text) + " (" + std::to_string(cause) + ")";
}
