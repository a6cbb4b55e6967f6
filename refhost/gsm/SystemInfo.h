// Small readers of the GSM layer-3 fields the drive analysis needs: the
// cell identity and location area of system information types 3, 4 and 6,
// and the few fields of the call, handover and location messages that say
// how they ended (3GPP TS 44.018 for radio resource messages, TS 24.008 for
// mobility management).
//
// Every reader takes the message as sent over the air, starting with the
// octet that holds the protocol discriminator (no L2 pseudo length), and
// returns false, leaving `out` as it was, when the bytes are too short, of
// another message or hold a value the message cannot carry. No reader looks
// past `length`; any bytes may be given. Pure functions: any thread.
#pragma once

#include <cstdint>
#include <string>

// What a system information message tells about its cell.
struct TGsmCellInfo {
  uint16_t Mcc = 0;
  uint16_t Mnc = 0;
  uint8_t MncDigits = 2;  // 3 when the third MNC digit is not the F filler
  uint16_t Lac = 0;
  uint16_t CellId = 0;
  bool HasCellId = false;  // type 4 carries the location area only
};

// System information type 3, 4 (BCCH) or 6 (SACCH).
bool ReadSystemInformation(const uint8_t* message, size_t length, TGsmCellInfo& out);

// The location area identification IE's five octets (MCC, MNC, LAC).
bool ReadLocationArea(const uint8_t* lai, size_t length, TGsmCellInfo& out);

// The RR cause of CHANNEL RELEASE or HANDOVER FAILURE.
bool ReadRrCause(const uint8_t* message, size_t length, uint8_t& cause);

// The target cell of HANDOVER COMMAND: its BCCH ARFCN and BSIC.
bool ReadHandoverTarget(const uint8_t* message, size_t length, uint16_t& arfcn, uint8_t& bsic);

// The reject cause of LOCATION UPDATING REJECT or CM SERVICE REJECT.
bool ReadMmRejectCause(const uint8_t* message, size_t length, uint8_t& cause);

// The CM service type of CM SERVICE REQUEST (1 originating call, 2
// emergency call, 4 short message, 8 supplementary service).
bool ReadCmServiceType(const uint8_t* message, size_t length, uint8_t& serviceType);

// Words for the causes, e.g. "abnormal release, unspecified (1)".
std::string RrCauseText(uint8_t cause);
std::string MmCauseText(uint8_t cause);
