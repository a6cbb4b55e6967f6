// The layer-3 signalling messages of a session as a pcap file for
// Wireshark: each message is one GSMTAP (version 2, Um interface) packet in
// UDP to port 4729 in raw IPv4 (link type LINKTYPE_IPV4), stamped with the
// record's time in UTC. The GSMTAP channel is the one the message travels
// on: BCCH for system information, AGCH or PCH for immediate assignments and
// paging, SDCCH (FACCH on a traffic channel once one is assigned) in a LAPDm
// I frame for dedicated messages, SACCH for system information 5/6 and
// measurement reports. Messages that only the handset sends carry the
// uplink flag.
//
// The packets go to a temporary file beside the target, each flushed as it
// is written (so a full disk shows at once), and OnFinish renames it into
// place (OutputFile.h, Replace). Threads: one writer is used from one thread
// at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"
#include "refhost/output/OutputFile.h"

struct pcap;
struct pcap_dumper;

// GSMTAP's Um channel types (sub_type) used here.
enum class TGsmtapChannel : uint8_t {
  Bcch = 1,
  Ccch = 2,
  Agch = 4,
  Pch = 5,
  Sdcch = 6,
  TchF = 9,
  SdcchSacch = 0x80 | 6,  // SACCH of an SDCCH
  TchFSacch = 0x80 | 9,   // SACCH of a TCH/F
};

// The GSMTAP packet (header and payload, no IP or UDP) of one layer-3
// message: `layer3` starts with the protocol discriminator octet;
// `lapdmControl` is the control octet of the LAPDm I frame that carries it
// on an SDCCH or FACCH (unused on other channels). Pure.
std::vector<uint8_t> GsmtapPacket(const std::vector<uint8_t>& layer3, TGsmtapChannel channel, uint16_t arfcn,
                                  bool uplink, int8_t signalDbm, uint8_t lapdmControl);

class TPcapWriter : public TRecordSink {
 public:
  // Opens the temporary file for `path` and writes the pcap header; throws
  // EOutputWrite when it cannot be created.
  explicit TPcapWriter(const std::string& path);
  ~TPcapWriter() override;
  TPcapWriter(const TPcapWriter&) = delete;
  TPcapWriter& operator=(const TPcapWriter&) = delete;

  void OnStart(const TSessionSettings& settings) override;
  // Writes a packet for a record with a layer-3 message (nothing for a
  // report, but its ARFCN and level go into the packets that follow);
  // throws EOutputWrite when the file cannot be written.
  void OnRecord(const THostRecord& record) override;
  // Flushes and puts the file in place; throws EOutputWrite. A writer
  // destroyed before it leaves the target as it was.
  void OnFinish(const TSessionCounters& counters) override;

  int64_t Packets() const { return PacketCount; }

 private:
  TGsmtapChannel ChannelOf(uint16_t messageId, const std::string& name);
  void Close();

  std::string Path;
  std::unique_ptr<TFileTarget> Target;
  pcap* Pcap = nullptr;
  pcap_dumper* Dumper = nullptr;
  int32_t UtcOffsetMinutes = 0;
  uint16_t Arfcn = 0;
  int8_t SignalDbm = 0;
  bool OnTrafficChannel = false;  // between an assignment and the channel's release
  // LAPDm send state variables V(S) of the network and of the handset on
  // the current dedicated channel: Wireshark takes a repeated N(S) for a
  // retransmission and leaves it undissected.
  uint8_t SentDown = 0, SentUp = 0;
  bool MobileTerminated = false;  // the call began with a paging
  int64_t PacketCount = 0;
};
