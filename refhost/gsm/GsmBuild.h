// Builders of GSM layer-3 messages as they are sent over the air: the octet
// with the protocol discriminator first (skip indicator or transaction
// identifier in its high nibble), then the message type, then the
// information elements. Broadcast and common-channel messages are padded
// with 0x2B to the 22 octets that follow the L2 pseudo length on the air.
//
// Every builder returns a new vector the caller owns; nothing else is kept.
// They throw std::bad_alloc only. Arguments out of range are masked to the
// width of their field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TGsmBytes = std::vector<uint8_t>;

// Identity of a cell as the broadcasts tell it.
struct TGsmCellIdentity {
  uint16_t Mcc = 1;  // three digits
  uint16_t Mnc = 1;  // two digits
  uint16_t Lac = 1;
  uint16_t CellId = 1;
  uint16_t Arfcn = 1;
  uint8_t Bsic = 0;  // NCC << 3 | BCC
};

// A channel the network assigns.
struct TGsmAssignedChannel {
  bool Traffic = false;    // TCH/F + ACCHs; otherwise SDCCH/8
  uint8_t Subchannel = 0;  // SDCCH/8 subchannel 0..7
  uint8_t Timeslot = 0;    // 0..7
  uint8_t Tsc = 0;         // training sequence code 0..7 (the cell's BCC)
  uint16_t Arfcn = 1;
};

// One neighbour in a measurement report: index into the neighbour list
// (ascending ARFCN), BSIC and RXLEV.
struct TGsmMeasuredCell {
  uint8_t FrequencyIndex = 0;
  uint8_t Bsic = 0;
  uint8_t RxLev = 0;
};

// The transaction of a call. The TI flag is set on the messages of the side
// that did not allocate the identifier.
struct TGsmTransaction {
  uint8_t Ti = 0;  // 0..6
  bool MobileOriginated = true;
};

namespace gsm {

// Broadcast (BCCH) and SACCH system information. `neighbours` are ARFCNs
// 1..124 (others are left out of the bitmap).
TGsmBytes SystemInformation1(const std::vector<uint16_t>& cellChannels);
TGsmBytes SystemInformation2(const std::vector<uint16_t>& neighbours);
TGsmBytes SystemInformation3(const TGsmCellIdentity& cell);
TGsmBytes SystemInformation4(const TGsmCellIdentity& cell);
TGsmBytes SystemInformation5(const std::vector<uint16_t>& neighbours);
TGsmBytes SystemInformation6(const TGsmCellIdentity& cell);
TGsmBytes PagingRequestType1(uint32_t tmsi);

// Radio resource management.
// `cause` is the establishment cause of the channel request (top 3 bits),
// `random` its 5 random bits; `ta` the timing advance 0..63.
TGsmBytes ImmediateAssignment(const TGsmAssignedChannel& channel, uint8_t cause, uint8_t random,
                              uint16_t frameNumber, uint8_t ta);
TGsmBytes AssignmentCommand(const TGsmAssignedChannel& channel, uint8_t powerLevel);
TGsmBytes AssignmentComplete();
TGsmBytes HandoverCommand(uint16_t targetArfcn, uint8_t targetBsic,
                          const TGsmAssignedChannel& channel, uint8_t reference,
                          uint8_t powerLevel);
TGsmBytes HandoverComplete();
// The mobile back on its old channel after a handover it could not make;
// `rrCause` e.g. 0x03 abnormal release, timer expired.
TGsmBytes HandoverFailure(uint8_t rrCause);
// `rrCause` 0x00 normal event; 0x01 abnormal release, unspecified; 0x03
// abnormal release, timer expired (radio link timeout) and so on.
TGsmBytes ChannelRelease(uint8_t rrCause = 0x00);
TGsmBytes CipheringModeCommand();
TGsmBytes CipheringModeComplete();
TGsmBytes ClassmarkChange();
TGsmBytes PagingResponse(uint32_t tmsi);
// Levels are RXLEV codes 0..63, qualities RXQUAL 0..7; at most 6 cells.
TGsmBytes MeasurementReport(uint8_t rxLevFull, uint8_t rxLevSub, uint8_t rxQualFull,
                            uint8_t rxQualSub, const std::vector<TGsmMeasuredCell>& cells);

// Mobility management; `sequence` is the uplink send sequence number N(SD)
// (0..3, in bits 6-7 of the message type; network messages have none).
TGsmBytes CmServiceRequest(uint32_t tmsi, uint8_t sequence);
TGsmBytes CmServiceAccept();
// `rejectCause` the MM cause, e.g. 0x22 service option temporarily out of order.
TGsmBytes CmServiceReject(uint8_t rejectCause);
TGsmBytes LocationUpdatingRequest(const TGsmCellIdentity& oldArea, uint32_t tmsi, uint8_t sequence);
TGsmBytes LocationUpdatingAccept(const TGsmCellIdentity& cell);
// `rejectCause` the MM cause, e.g. 0x0C location area not allowed, 0x11 network failure.
TGsmBytes LocationUpdatingReject(uint8_t rejectCause);
TGsmBytes AuthenticationRequest(const uint8_t (&rand)[16]);
TGsmBytes AuthenticationResponse(uint32_t sres, uint8_t sequence);
TGsmBytes IdentityRequest();
TGsmBytes IdentityResponse(const std::string& imsiDigits, uint8_t sequence);

// Call control. `fromNetwork` says which side sends (it sets the TI flag
// against the transaction's originator); `sequence` as above, for the
// mobile's messages only.
struct TCcHeader {
  TGsmTransaction Transaction;
  bool FromNetwork = false;
  uint8_t Sequence = 0;
};
// `number` as dialled: a leading + makes it international; a pause (p, w)
// ends what the setup carries.
TGsmBytes CcSetup(const TCcHeader& header, const std::string& number);
TGsmBytes CcCallProceeding(const TCcHeader& header);
TGsmBytes CcCallConfirmed(const TCcHeader& header);
TGsmBytes CcAlerting(const TCcHeader& header);
TGsmBytes CcProgress(const TCcHeader& header);
TGsmBytes CcConnect(const TCcHeader& header);
TGsmBytes CcConnectAcknowledge(const TCcHeader& header);
TGsmBytes CcDisconnect(const TCcHeader& header, uint8_t cause);
TGsmBytes CcRelease(const TCcHeader& header);
TGsmBytes CcReleaseComplete(const TCcHeader& header);

}  // namespace gsm
