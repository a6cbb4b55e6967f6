// Names and channels of GSM layer-3 signalling messages, by the message
// identifier the records carry: protocol discriminator << 8 | message type.
// For call control (PD 3) and mobility management (PD 5) the message type
// has its bits 6-7 (the send sequence number) cleared, as the decoding
// library does before it stores the identifier.
//
// Constant tables only: every function may be called from any thread.
#pragma once

#include <cstdint>

// Where a message travels over the air.
enum class TGsmChannel : uint8_t {
  Bcch,  // broadcast: system information 1-4, 2bis/2ter/2quater, 7-9, 13
  Ccch,  // common control: paging, immediate assignment
  Dcch,  // dedicated (SDCCH, FACCH or SACCH): everything else
};

struct TGsmMessageInfo {
  const char* Name;  // static string, never freed; "UNKNOWN" when not in the table
  TGsmChannel Channel;
};

// Protocol discriminators of the messages in the table.
constexpr uint8_t GsmPdCallControl = 3;
constexpr uint8_t GsmPdMobility = 5;
constexpr uint8_t GsmPdRadioResource = 6;

// Name and channel of a message identifier. An identifier not in the table
// gives "UNKNOWN" on the dedicated channel; nothing throws.
TGsmMessageInfo LookupGsmMessage(uint16_t messageId);

// True when the identifier is in the table.
bool IsKnownGsmMessage(uint16_t messageId);

// True for the dedicated-channel messages that travel on the SACCH (system
// information 5, 5bis, 5ter, 6 and the measurement report) rather than on
// the SDCCH or FACCH.
bool IsSacchMessage(uint16_t messageId);

// The identifier of a layer-3 message as the decoding library computes it
// from the first two bytes (PD in the low nibble of the first; the type in
// the second, bits 6-7 cleared for PD 3 and 5). 0 for fewer than two bytes.
uint16_t GsmMessageId(const uint8_t* message, int length);
