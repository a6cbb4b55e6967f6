#include "refhost/gsm/GsmBuild.h"

#include <algorithm>
#include <initializer_list>

#include "refhost/gsm/GsmMessages.h"

namespace gsm {
namespace {

constexpr uint8_t Rr = GsmPdRadioResource;
constexpr uint8_t Mm = GsmPdMobility;
constexpr uint8_t Cc = GsmPdCallControl;
constexpr uint8_t Padding = 0x2B;
constexpr size_t CommonChannelLength = 22;  // a 23-octet block less its pseudo length
constexpr size_t SacchLength = 18;          // a SACCH block less its L1 and L2 headers
// Phase 2 classmark: A5/1, power class 4, SS screening, SM capable.
constexpr uint8_t Classmark2[] = {0x03, 0x33, 0x19, 0xA2};

class TBuilder {
 public:
  TBuilder(uint8_t first, uint8_t type) : Bytes{first, type} {}
  TBuilder& Add(std::initializer_list<uint8_t> bytes) {
    Bytes.insert(Bytes.end(), bytes);
    return *this;
  }
  TBuilder& Add(const TGsmBytes& bytes) {
    Bytes.insert(Bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  TBuilder& AddClassmark2() {
    Bytes.insert(Bytes.end(), std::begin(Classmark2), std::end(Classmark2));
    return *this;
  }
  TBuilder& AddTmsi(uint32_t tmsi) {
    return Add({0x05, 0xF4, static_cast<uint8_t>(tmsi >> 24), static_cast<uint8_t>(tmsi >> 16),
                static_cast<uint8_t>(tmsi >> 8), static_cast<uint8_t>(tmsi)});
  }
  TGsmBytes PaddedTo(size_t length) {
    if (Bytes.size() < length) Bytes.resize(length, Padding);
    return std::move(Bytes);
  }
  TGsmBytes Done() { return std::move(Bytes); }

 private:
  TGsmBytes Bytes;
};

uint8_t Digit(uint16_t value, int position) {  // position 0 = most significant of 3
  static constexpr uint16_t Scale[] = {100, 10, 1};
  return static_cast<uint8_t>(value / Scale[position] % 10);
}

TGsmBytes AreaIdentification(const TGsmCellIdentity& cell) {
  const uint16_t mnc = cell.Mnc % 100;
  return {static_cast<uint8_t>(Digit(cell.Mcc, 1) << 4 | Digit(cell.Mcc, 0)),
          static_cast<uint8_t>(0xF0 | Digit(cell.Mcc, 2)),
          static_cast<uint8_t>(Digit(mnc, 2) << 4 | Digit(mnc, 1)),
          static_cast<uint8_t>(cell.Lac >> 8), static_cast<uint8_t>(cell.Lac)};
}

TGsmBytes CellIdentity(const TGsmCellIdentity& cell) {
  return {static_cast<uint8_t>(cell.CellId >> 8), static_cast<uint8_t>(cell.CellId)};
}

// 16 octets, bit map 0 format: ARFCN 124 in bit 4 of the first octet down to
// ARFCN 1 in bit 1 of the last.
TGsmBytes FrequencyBitmap(const std::vector<uint16_t>& arfcns) {
  TGsmBytes map(16, 0);
  for (uint16_t a : arfcns)
    if (a >= 1 && a <= 124) map[15 - (a - 1) / 8] |= static_cast<uint8_t>(1u << ((a - 1) % 8));
  return map;
}

// Max 4 retransmissions, 32 slots spread, cell not barred, re-establishment
// not allowed; every access class allowed.
const std::initializer_list<uint8_t> RachControl{0xF9, 0x00, 0x00};
// Hysteresis 4 dB, MS_TXPWR_MAX_CCH 5, NECI set, RXLEV_ACCESS_MIN 6.
const std::initializer_list<uint8_t> CellSelection{0x45, 0x46};

TGsmBytes ChannelDescription(const TGsmAssignedChannel& ch) {
  const uint8_t type = ch.Traffic ? 0x01 : static_cast<uint8_t>(0x08 | (ch.Subchannel & 7));
  return {static_cast<uint8_t>(type << 3 | (ch.Timeslot & 7)),
          static_cast<uint8_t>((ch.Tsc & 7) << 5 | ((ch.Arfcn >> 8) & 3)),
          static_cast<uint8_t>(ch.Arfcn)};
}

uint8_t TiOctet(const TCcHeader& h) {
  const bool flag = h.FromNetwork == h.Transaction.MobileOriginated;
  return static_cast<uint8_t>((flag ? 0x80 : 0) | (h.Transaction.Ti & 7) << 4 | Cc);
}

uint8_t Sequenced(uint8_t type, uint8_t sequence) {
  return static_cast<uint8_t>(type | (sequence & 3) << 6);
}

TBuilder CcMessage(const TCcHeader& h, uint8_t type) {
  return TBuilder(TiOctet(h), h.FromNetwork ? type : Sequenced(type, h.Sequence));
}

TGsmBytes BcdNumber(const std::string& digits) {
  TGsmBytes out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    auto code = [](char c) -> uint8_t {
      if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
      if (c == '*') return 0x0A;
      if (c == '#') return 0x0B;
      return 0x0F;
    };
    const uint8_t lo = code(digits[i]);
    const uint8_t hi = i + 1 < digits.size() ? code(digits[i + 1]) : 0x0F;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return out;
}

// Appends `width` low bits of `value` most significant first.
class TBitWriter {
 public:
  explicit TBitWriter(size_t octets) : Bytes(octets, 0) {}
  void Put(uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i, ++Bit)
      if (value >> i & 1) Bytes[Bit / 8] |= static_cast<uint8_t>(0x80 >> (Bit % 8));
  }
  const TGsmBytes& Result() const { return Bytes; }

 private:
  TGsmBytes Bytes;
  size_t Bit = 0;
};

}  // namespace

TGsmBytes SystemInformation1(const std::vector<uint16_t>& cellChannels) {
  return TBuilder(Rr, 0x19)
      .Add(FrequencyBitmap(cellChannels))
      .Add(RachControl)
      .PaddedTo(CommonChannelLength);
}

TGsmBytes SystemInformation2(const std::vector<uint16_t>& neighbours) {
  return TBuilder(Rr, 0x1A)
      .Add(FrequencyBitmap(neighbours))
      .Add({0xFF})
      .Add(RachControl)
      .PaddedTo(CommonChannelLength);
}

TGsmBytes SystemInformation3(const TGsmCellIdentity& cell) {
  // CCCH combined with SDCCH, 1 block reserved for access grant, paging
  // every 5 multiframes, T3212 one hour; DTX not used, radio link timeout 24.
  return TBuilder(Rr, 0x1B)
      .Add(CellIdentity(cell))
      .Add(AreaIdentification(cell))
      .Add({0x49, 0x03, 0x0A})
      .Add({0x25})
      .Add(CellSelection)
      .Add(RachControl)
      .PaddedTo(CommonChannelLength);
}

TGsmBytes SystemInformation4(const TGsmCellIdentity& cell) {
  return TBuilder(Rr, 0x1C)
      .Add(AreaIdentification(cell))
      .Add(CellSelection)
      .Add(RachControl)
      .PaddedTo(CommonChannelLength);
}

TGsmBytes SystemInformation5(const std::vector<uint16_t>& neighbours) {
  return TBuilder(Rr, 0x1D).Add(FrequencyBitmap(neighbours)).Done();
}

TGsmBytes SystemInformation6(const TGsmCellIdentity& cell) {
  return TBuilder(Rr, 0x1E)
      .Add(CellIdentity(cell))
      .Add(AreaIdentification(cell))
      .Add({0x25, 0xFF})
      .PaddedTo(SacchLength);
}

TGsmBytes PagingRequestType1(uint32_t tmsi) {
  return TBuilder(Rr, 0x21).Add({0x00}).AddTmsi(tmsi).PaddedTo(CommonChannelLength);
}

TGsmBytes ImmediateAssignment(const TGsmAssignedChannel& channel, uint8_t cause, uint8_t random,
                              uint16_t frameNumber, uint8_t ta) {
  const uint8_t t1 = frameNumber / 1326 % 32, t3 = frameNumber % 51, t2 = frameNumber % 26;
  return TBuilder(Rr, 0x3F)
      .Add({0x00})
      .Add(ChannelDescription(channel))
      .Add({static_cast<uint8_t>((cause & 0xE0) | (random & 0x1F)),
            static_cast<uint8_t>(t1 << 3 | t3 >> 3), static_cast<uint8_t>((t3 & 7) << 5 | t2)})
      .Add({static_cast<uint8_t>(ta & 0x3F), 0x00})
      .PaddedTo(CommonChannelLength);
}

TGsmBytes AssignmentCommand(const TGsmAssignedChannel& channel, uint8_t powerLevel) {
  // Channel mode: speech, full rate version 1.
  return TBuilder(Rr, 0x2E)
      .Add(ChannelDescription(channel))
      .Add({static_cast<uint8_t>(powerLevel & 0x1F), 0x63, 0x01})
      .Done();
}

TGsmBytes AssignmentComplete() { return TBuilder(Rr, 0x29).Add({0x00}).Done(); }

TGsmBytes HandoverCommand(uint16_t targetArfcn, uint8_t targetBsic,
                          const TGsmAssignedChannel& channel, uint8_t reference,
                          uint8_t powerLevel) {
  return TBuilder(Rr, 0x2B)
      .Add({static_cast<uint8_t>(((targetArfcn >> 8) & 3) << 6 | (targetBsic & 0x3F)),
            static_cast<uint8_t>(targetArfcn)})
      .Add(ChannelDescription(channel))
      .Add({reference, static_cast<uint8_t>(powerLevel & 0x1F), 0x63, 0x01})
      .Done();
}

TGsmBytes HandoverComplete() { return TBuilder(Rr, 0x2C).Add({0x00}).Done(); }
TGsmBytes HandoverFailure(uint8_t rrCause) { return TBuilder(Rr, 0x28).Add({rrCause}).Done(); }
TGsmBytes ChannelRelease(uint8_t rrCause) { return TBuilder(Rr, 0x0D).Add({rrCause}).Done(); }
// Start ciphering with A5/1; no IMEISV in the answer.
TGsmBytes CipheringModeCommand() { return TBuilder(Rr, 0x35).Add({0x01}).Done(); }
TGsmBytes CipheringModeComplete() { return TBuilder(Rr, 0x32).Done(); }
TGsmBytes ClassmarkChange() { return TBuilder(Rr, 0x16).AddClassmark2().Done(); }

TGsmBytes PagingResponse(uint32_t tmsi) {
  return TBuilder(Rr, 0x27).Add({0x00}).AddClassmark2().AddTmsi(tmsi).Done();
}

TGsmBytes MeasurementReport(uint8_t rxLevFull, uint8_t rxLevSub, uint8_t rxQualFull,
                            uint8_t rxQualSub, const std::vector<TGsmMeasuredCell>& cells) {
  const size_t count = std::min<size_t>(cells.size(), 6);
  TBitWriter bits(16);
  bits.Put(0, 1);  // BA-USED
  bits.Put(0, 1);  // DTX-USED
  bits.Put(rxLevFull & 0x3F, 6);
  bits.Put(0, 1);  // 3G-BA-USED
  bits.Put(0, 1);  // MEAS-VALID: 0 means valid
  bits.Put(rxLevSub & 0x3F, 6);
  bits.Put(0, 1);
  bits.Put(rxQualFull & 7, 3);
  bits.Put(rxQualSub & 7, 3);
  bits.Put(static_cast<uint32_t>(count), 3);
  for (size_t i = 0; i < 6; ++i) {
    const TGsmMeasuredCell c = i < count ? cells[i] : TGsmMeasuredCell{};
    bits.Put(c.RxLev & 0x3F, 6);
    bits.Put(c.FrequencyIndex & 0x1F, 5);
    bits.Put(c.Bsic & 0x3F, 6);
  }
  return TBuilder(Rr, 0x15).Add(bits.Result()).Done();
}

TGsmBytes CmServiceRequest(uint32_t tmsi, uint8_t sequence) {
  // Key sequence 0, service: mobile originating call.
  return TBuilder(Mm, Sequenced(0x24, sequence)).Add({0x01}).AddClassmark2().AddTmsi(tmsi).Done();
}

TGsmBytes CmServiceAccept() { return TBuilder(Mm, 0x21).Done(); }
TGsmBytes CmServiceReject(uint8_t rejectCause) { return TBuilder(Mm, 0x22).Add({rejectCause}).Done(); }

TGsmBytes LocationUpdatingRequest(const TGsmCellIdentity& oldArea, uint32_t tmsi,
                                  uint8_t sequence) {
  // Normal updating, no key available; classmark 1 as the first octet of 2.
  return TBuilder(Mm, Sequenced(0x08, sequence))
      .Add({0x70})
      .Add(AreaIdentification(oldArea))
      .Add({Classmark2[1]})
      .AddTmsi(tmsi)
      .Done();
}

TGsmBytes LocationUpdatingAccept(const TGsmCellIdentity& cell) {
  return TBuilder(Mm, 0x02).Add(AreaIdentification(cell)).Done();
}

TGsmBytes LocationUpdatingReject(uint8_t rejectCause) {
  return TBuilder(Mm, 0x04).Add({rejectCause}).Done();
}

TGsmBytes AuthenticationRequest(const uint8_t (&rand)[16]) {
  TBuilder b(Mm, 0x12);
  b.Add({0x00});
  return b.Add(TGsmBytes(std::begin(rand), std::end(rand))).Done();
}

TGsmBytes AuthenticationResponse(uint32_t sres, uint8_t sequence) {
  return TBuilder(Mm, Sequenced(0x14, sequence))
      .Add({static_cast<uint8_t>(sres >> 24), static_cast<uint8_t>(sres >> 16),
            static_cast<uint8_t>(sres >> 8), static_cast<uint8_t>(sres)})
      .Done();
}

TGsmBytes IdentityRequest() { return TBuilder(Mm, 0x18).Add({0x01}).Done(); }

TGsmBytes IdentityResponse(const std::string& imsiDigits, uint8_t sequence) {
  // First digit beside the odd/even flag and the type (IMSI); the rest in BCD.
  const std::string d = imsiDigits.empty() ? std::string("0") : imsiDigits;
  const bool odd = d.size() % 2 == 1;
  TGsmBytes id{static_cast<uint8_t>((d[0] - '0') << 4 | (odd ? 0x08 : 0) | 0x01)};
  const TGsmBytes rest = BcdNumber(d.substr(1));
  id.insert(id.end(), rest.begin(), rest.end());
  TBuilder b(Mm, Sequenced(0x19, sequence));
  b.Add({static_cast<uint8_t>(id.size())});
  return b.Add(id).Done();
}

TGsmBytes CcSetup(const TCcHeader& header, const std::string& number) {
  // A leading '+' is the international type, not a digit; what follows a
  // pause (p, w) is sent as DTMF once the call is up, not in the setup.
  const bool international = !number.empty() && number[0] == '+';
  const size_t start = international ? 1 : 0;
  const size_t pause = number.find_first_of("pPwW", start);
  const std::string digits = number.substr(start, pause == std::string::npos ? pause : pause - start);
  const TGsmBytes bcd = BcdNumber(digits);
  // Speech bearer (full rate only); ISDN numbering plan.
  TBuilder b = CcMessage(header, 0x05);
  b.Add({0x04, 0x01, 0xA0});
  b.Add({static_cast<uint8_t>(header.FromNetwork ? 0x5C : 0x5E), static_cast<uint8_t>(bcd.size() + 1),
         static_cast<uint8_t>(international ? 0x91 : 0x81)});
  return b.Add(bcd).Done();
}

TGsmBytes CcCallProceeding(const TCcHeader& h) { return CcMessage(h, 0x02).Done(); }
TGsmBytes CcCallConfirmed(const TCcHeader& h) { return CcMessage(h, 0x08).Done(); }
TGsmBytes CcAlerting(const TCcHeader& h) { return CcMessage(h, 0x01).Done(); }
// In-band information available, from the public network serving the user.
TGsmBytes CcProgress(const TCcHeader& h) {
  return CcMessage(h, 0x03).Add({0x02, 0xE1, 0x88}).Done();
}
TGsmBytes CcConnect(const TCcHeader& h) { return CcMessage(h, 0x07).Done(); }
TGsmBytes CcConnectAcknowledge(const TCcHeader& h) { return CcMessage(h, 0x0F).Done(); }

TGsmBytes CcDisconnect(const TCcHeader& h, uint8_t cause) {
  // GSM coding, location user.
  return CcMessage(h, 0x25).Add({0x02, 0xE0, static_cast<uint8_t>(0x80 | (cause & 0x7F))}).Done();
}

TGsmBytes CcRelease(const TCcHeader& h) { return CcMessage(h, 0x2D).Done(); }
TGsmBytes CcReleaseComplete(const TCcHeader& h) { return CcMessage(h, 0x2A).Done(); }

}  // namespace gsm
