#include "refhost/output/PcapWriter.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include <pcap/pcap.h>
#include <unistd.h>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/MapValues.h"
#include "refhost/output/OutputFile.h"

namespace {

constexpr uint16_t GsmtapPort = 4729;
constexpr uint8_t GsmtapVersion = 2;
constexpr uint8_t GsmtapTypeUm = 1;
constexpr uint16_t ArfcnUplinkFlag = 0x4000;
constexpr size_t IpHeaderSize = 20, UdpHeaderSize = 8;

constexpr uint16_t Rr(uint8_t mt) { return GsmPdRadioResource << 8 | mt; }
constexpr uint16_t Mm(uint8_t mt) { return GsmPdMobility << 8 | mt; }

// Messages only the handset sends.
constexpr uint16_t UplinkOnly[] = {
    Rr(0x15), Rr(0x16), Rr(0x17), Rr(0x27), Rr(0x28), Rr(0x29), Rr(0x2C), Rr(0x2F), Rr(0x32),
    Mm(0x01), Mm(0x08), Mm(0x14), Mm(0x19), Mm(0x1B), Mm(0x23), Mm(0x24), Mm(0x28),
};

constexpr uint16_t AssignmentCommand = Rr(0x2E), ChannelRelease = Rr(0x0D), PagingResponse = Rr(0x27),
                   CmServiceRequest = Mm(0x24);

template <size_t N>
bool In(const uint16_t (&list)[N], uint16_t id) {
  for (uint16_t x : list)
    if (x == id) return true;
  return false;
}

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = uint8_t(v >> 8);
  out[at + 1] = uint8_t(v);
}

uint16_t IpChecksum(const uint8_t* header, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t(header[i]) << 8 | header[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(~sum);
}

// Raw IPv4 and UDP from 127.0.0.1 to 127.0.0.1, port 4729 both ways.
std::vector<uint8_t> IpUdp(const std::vector<uint8_t>& payload, uint16_t id) {
  std::vector<uint8_t> p(IpHeaderSize + UdpHeaderSize);
  p[0] = 0x45;  // version 4, five header words
  Put16(p, 2, uint16_t(p.size() + payload.size()));
  Put16(p, 4, id);
  Put16(p, 6, 0x4000);  // don't fragment
  p[8] = 64;            // TTL
  p[9] = 17;            // UDP
  const uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&p[12], loopback, 4);
  std::memcpy(&p[16], loopback, 4);
  Put16(p, 10, IpChecksum(p.data(), IpHeaderSize));
  Put16(p, 20, GsmtapPort);
  Put16(p, 22, GsmtapPort);
  Put16(p, 24, uint16_t(UdpHeaderSize + payload.size()));
  // UDP checksum 0: none, which IPv4 allows.
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

}  // namespace

std::vector<uint8_t> GsmtapPacket(const std::vector<uint8_t>& layer3, TGsmtapChannel channel, uint16_t arfcn,
                                  bool uplink, int8_t signalDbm, uint8_t lapdmControl) {
  std::vector<uint8_t> p(16, 0);
  p[0] = GsmtapVersion;
  p[1] = 4;  // header length in 32-bit words
  p[2] = GsmtapTypeUm;
  Put16(p, 4, uint16_t((arfcn & 0x3FFF) | (uplink ? ArfcnUplinkFlag : 0)));
  p[6] = uint8_t(signalDbm);
  p[12] = uint8_t(channel);
  const uint8_t length = uint8_t(std::min<size_t>(layer3.size(), 63));
  switch (channel) {
    case TGsmtapChannel::Bcch:
    case TGsmtapChannel::Ccch:
    case TGsmtapChannel::Agch:
    case TGsmtapChannel::Pch:
      // Common channels carry the L2 pseudo length before the message.
      p.push_back(uint8_t(length << 2 | 0x01));
      break;
    case TGsmtapChannel::SdcchSacch:
    case TGsmtapChannel::TchFSacch:
      // SACCH L1 header (power level, timing advance), then a LAPDm UI frame.
      p.insert(p.end(), {0x00, 0x00, uint8_t(uplink ? 0x01 : 0x03), 0x03, uint8_t(length << 2 | 0x01)});
      break;
    default:
      // LAPDm I frame on SAPI 0: address (C/R set for the network's
      // commands), control, length with EL set.
      p.insert(p.end(), {uint8_t(uplink ? 0x01 : 0x03), lapdmControl, uint8_t(length << 2 | 0x01)});
      break;
  }
  p.insert(p.end(), layer3.begin(), layer3.end());
  return p;
}

TPcapWriter::TPcapWriter(const std::string& path)
    : Path(path), Target(std::make_unique<TFileTarget>(path, TOutputMode::Replace)) {
  // libpcap writes through a stream of its own on a copy of the descriptor;
  // the target keeps the original for the sync and the rename.
  Pcap = pcap_open_dead(DLT_IPV4, 65535);
  const int fd = ::dup(Target->Descriptor());
  std::FILE* stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!stream && fd >= 0) ::close(fd);
  if (Pcap && stream) Dumper = pcap_dump_fopen(Pcap, stream);
  if (!Dumper) {
    const std::string why = Pcap && stream ? pcap_geterr(Pcap) : "out of memory";
    if (stream) std::fclose(stream);
    Close();
    throw EOutputWrite("cannot create the pcap file " + path + " (" + why +
                       "): check that the folder exists and is writable");
  }
}

TPcapWriter::~TPcapWriter() { Close(); }

void TPcapWriter::Close() {
  if (Dumper) pcap_dump_close(Dumper);
  if (Pcap) pcap_close(Pcap);
  Dumper = nullptr;
  Pcap = nullptr;
}

void TPcapWriter::OnStart(const TSessionSettings& settings) { UtcOffsetMinutes = settings.UtcOffsetMinutes; }

TGsmtapChannel TPcapWriter::ChannelOf(uint16_t messageId, const std::string& name) {
  switch (LookupGsmMessage(messageId).Channel) {
    case TGsmChannel::Bcch:
      return TGsmtapChannel::Bcch;
    case TGsmChannel::Ccch:
      if (name.rfind("PAGING", 0) == 0) return TGsmtapChannel::Pch;
      if (name.rfind("IMMEDIATE ASSIGNMENT", 0) == 0) return TGsmtapChannel::Agch;
      return TGsmtapChannel::Ccch;
    case TGsmChannel::Dcch:
      break;
  }
  if (IsSacchMessage(messageId)) return OnTrafficChannel ? TGsmtapChannel::TchFSacch : TGsmtapChannel::SdcchSacch;
  return OnTrafficChannel ? TGsmtapChannel::TchF : TGsmtapChannel::Sdcch;
}

void TPcapWriter::OnRecord(const THostRecord& record) {
  if (const auto arfcn = ServingArfcn(record)) Arfcn = *arfcn;
  if (const auto level = ServingLevelDbm(record)) SignalDbm = int8_t(*level);
  if (record.MessageId == 0 || record.Layer3.size() < 2 || !Dumper) return;

  const uint16_t id = record.MessageId;
  if (id == PagingResponse) MobileTerminated = true;
  if (id == CmServiceRequest) MobileTerminated = false;
  // A call control message's TI flag is clear on the side that began the
  // call: the handset for its own calls, the network for calls to it.
  const bool tiFlag = record.Layer3[0] & 0x80;
  const bool uplink = (id >> 8) == GsmPdCallControl ? tiFlag == MobileTerminated : In(UplinkOnly, id);
  const TGsmtapChannel channel = ChannelOf(id, LookupGsmMessage(id).Name);
  // I frame control octet: N(R) << 5 | N(S) << 1.
  uint8_t& sent = uplink ? SentUp : SentDown;
  const uint8_t control = uint8_t((uplink ? SentDown : SentUp) << 5 | sent << 1);
  if (channel == TGsmtapChannel::Sdcch || channel == TGsmtapChannel::TchF) sent = (sent + 1) % 8;
  const std::vector<uint8_t> packet =
      IpUdp(GsmtapPacket(record.Layer3, channel, Arfcn, uplink, SignalDbm, control), uint16_t(PacketCount));
  // The traffic channel carries what follows the assignment until its
  // release; each new channel starts its link afresh.
  if (id == AssignmentCommand) OnTrafficChannel = true;
  if (id == ChannelRelease) OnTrafficChannel = false;
  if (id == AssignmentCommand || id == ChannelRelease || channel == TGsmtapChannel::Agch) SentDown = SentUp = 0;

  const double seconds = UtcSeconds(record.TimeStamp1, UtcOffsetMinutes);
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(std::floor(seconds));
  header.ts.tv_usec = static_cast<suseconds_t>(std::lround((seconds - std::floor(seconds)) * 1e6));
  if (header.ts.tv_usec >= 1000000) {
    header.ts.tv_sec += 1;
    header.ts.tv_usec -= 1000000;
  }
  header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
  pcap_dump(reinterpret_cast<u_char*>(Dumper), &header, packet.data());
  if (pcap_dump_flush(Dumper) != 0)
    throw EOutputWrite("writing the pcap file " + Path + " failed: check the free space");
  ++PacketCount;
}

void TPcapWriter::OnFinish(const TSessionCounters&) {
  if (!Dumper) return;
  const bool flushed = pcap_dump_flush(Dumper) == 0;
  Close();
  if (!flushed) throw EOutputWrite("writing the pcap file " + Path + " failed: check the free space");
  Target->Commit();
}
