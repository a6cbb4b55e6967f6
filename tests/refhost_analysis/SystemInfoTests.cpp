// The system information reader: identities read from message bytes, the
// same bytes decoded by tshark, and hostile bytes that must be refused
// without a read out of range.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "refhost/gsm/GsmBuild.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/gsm/SystemInfo.h"
#include "refhost/output/PcapWriter.h"

namespace {

namespace fs = std::filesystem;

struct TSiCase {
  const char* Name;
  TGsmBytes Bytes;
  uint16_t Mcc, Mnc;
  uint8_t MncDigits;
  uint16_t Lac, CellId;
  bool HasCellId;
};

TGsmCellIdentity Cell(uint16_t mcc, uint16_t mnc, uint16_t lac, uint16_t ci) {
  TGsmCellIdentity c;
  c.Mcc = mcc;
  c.Mnc = mnc;
  c.Lac = lac;
  c.CellId = ci;
  return c;
}

// A type 3 with a three-digit MNC, as North American networks send it:
// MCC 310, MNC 410, LAC 0x1A2B, CI 0xBEEF.
TGsmBytes Si3ThreeDigitMnc() {
  TGsmBytes b{0x06, 0x1B, 0xBE, 0xEF, 0x13, 0x00, 0x14, 0x1A, 0x2B, 0x49, 0x03, 0x0A, 0x25, 0x45, 0x46, 0xF9, 0x00, 0x00};
  b.resize(22, 0x2B);
  return b;
}

std::vector<TSiCase> Cases() {
  return {
      {"si3_germany", gsm::SystemInformation3(Cell(262, 1, 0x0A0B, 4711)), 262, 1, 2, 0x0A0B, 4711, true},
      {"si4_germany", gsm::SystemInformation4(Cell(262, 1, 0x0A0B, 4711)), 262, 1, 2, 0x0A0B, 0, false},
      {"si6_uk", gsm::SystemInformation6(Cell(234, 15, 65534, 65535)), 234, 15, 2, 65534, 65535, true},
      {"si3_three_digit_mnc", Si3ThreeDigitMnc(), 310, 410, 3, 0x1A2B, 0xBEEF, true},
      {"si6_mnc_zero", gsm::SystemInformation6(Cell(901, 0, 1, 0)), 901, 0, 2, 1, 0, true},
  };
}

TEST(SystemInfoTable, ReadsIdentity) {
  for (const TSiCase& c : Cases()) {
    SCOPED_TRACE(c.Name);
    TGsmCellInfo info;
    ASSERT_TRUE(ReadSystemInformation(c.Bytes.data(), c.Bytes.size(), info));
    EXPECT_EQ(info.Mcc, c.Mcc);
    EXPECT_EQ(info.Mnc, c.Mnc);
    EXPECT_EQ(info.MncDigits, c.MncDigits);
    EXPECT_EQ(info.Lac, c.Lac);
    EXPECT_EQ(info.HasCellId, c.HasCellId);
    if (c.HasCellId) {
      EXPECT_EQ(info.CellId, c.CellId);
    }
  }
}

// Every cut of every message, and bytes changed to what no cell sends:
// refused, `out` untouched, nothing read past the end (the heap copy of
// exactly that length lets AddressSanitizer see an overread).
TEST(SystemInfoTable, RefusesTruncatedAndHostileBytes) {
  for (const TSiCase& c : Cases()) {
    SCOPED_TRACE(c.Name);
    const size_t needed = c.HasCellId ? 9 : 7;
    for (size_t n = 0; n < c.Bytes.size(); ++n) {
      const std::vector<uint8_t> cut(c.Bytes.begin(), c.Bytes.begin() + static_cast<std::ptrdiff_t>(n));
      TGsmCellInfo info;
      info.Mcc = 999;
      EXPECT_EQ(ReadSystemInformation(cut.data(), cut.size(), info), n >= needed) << n << " bytes";
      if (n < needed) {
        EXPECT_EQ(info.Mcc, 999);
      }
    }
    const size_t lai = c.HasCellId ? 4 : 2;
    struct THostile {
      size_t At;
      uint8_t Value;
    };
    for (const THostile h : {THostile{0, 0x16}, THostile{1, 0x1D}, THostile{lai, 0x0A}, THostile{lai, 0xF2},
                             THostile{lai + 1, 0x0B}, THostile{lai + 2, 0xC1}, THostile{lai + 2, 0x1F}}) {
      std::vector<uint8_t> bad = c.Bytes;
      bad[h.At] = h.Value;
      TGsmCellInfo info;
      EXPECT_FALSE(ReadSystemInformation(bad.data(), bad.size(), info)) << "byte " << h.At << " = " << int(h.Value);
    }
  }
  TGsmCellInfo info;
  EXPECT_FALSE(ReadSystemInformation(nullptr, 22, info));
}

// The other readers: each reads its message whole and refuses it one byte
// short (a heap copy of that length, so an overread shows under ASan).
TEST(SystemInfoTable, OtherReadersRefuseShortMessages) {
  using TRead = int (*)(const uint8_t*, size_t);
  struct TReaderCase {
    const char* Name;
    TGsmBytes Bytes;
    TRead Read;
    int Value;
  };
  const TRead rr = [](const uint8_t* m, size_t n) { uint8_t c = 0; return ReadRrCause(m, n, c) ? int(c) : -1; };
  const TRead mm = [](const uint8_t* m, size_t n) { uint8_t c = 0; return ReadMmRejectCause(m, n, c) ? int(c) : -1; };
  const TRead target = [](const uint8_t* m, size_t n) {
    uint16_t a = 0;
    uint8_t b = 0;
    return ReadHandoverTarget(m, n, a, b) ? a * 64 + b : -1;
  };
  const TRead service = [](const uint8_t* m, size_t n) { uint8_t t = 0; return ReadCmServiceType(m, n, t) ? int(t) : -1; };
  const std::vector<TReaderCase> cases{
      {"channel release", {0x06, 0x0D, 0x01}, rr, 1},
      {"handover failure", {0x06, 0x28, 0x04}, rr, 4},
      {"location updating reject", {0x05, 0x04, 0x0C}, mm, 12},
      {"cm service reject with sequence bits", {0x05, 0x62, 0x11}, mm, 17},
      {"handover command to a high channel", gsm::HandoverCommand(812, 0x2D, {true, 0, 1, 5, 812}, 7, 5), target,
       812 * 64 + 0x2D},
      {"cm service request", gsm::CmServiceRequest(0x1234, 2), service, 1},
      {"location updating reject is no rr message", {0x05, 0x04, 0x0C}, rr, -1},
  };
  for (const TReaderCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(c.Read(c.Bytes.data(), c.Bytes.size()), c.Value);
    const size_t needed = c.Read == target ? 4 : 3;  // the fields read end there
    const std::vector<uint8_t> cut(c.Bytes.begin(), c.Bytes.begin() + static_cast<std::ptrdiff_t>(needed - 1));
    EXPECT_EQ(c.Read(cut.data(), cut.size()), -1);
  }
}

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

// The same bytes, written into a pcap by our writer, decoded by Wireshark's
// dissector: both must read the same MCC, MNC, LAC and CI.
TEST(SystemInfoTable, TsharkReadsTheSameIdentity) {
  if (Output("command -v tshark").empty()) GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
  const fs::path dir = fs::temp_directory_path() / ("orvik-si-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string pcap = (dir / "si.pcap").string();
  const std::vector<TSiCase> cases = Cases();
  {
    TPcapWriter writer(pcap);
    writer.OnStart({});
    int64_t index = 0;
    for (const TSiCase& c : cases) {
      THostRecord r;
      r.Index = index;
      r.TimeStamp1 = r.TimeStamp2 = 46000 + double(index++) / 86400;
      r.Layer3 = c.Bytes;
      r.MessageId = GsmMessageId(c.Bytes.data(), static_cast<int>(c.Bytes.size()));
      r.Dedicated = c.Bytes[1] == 0x1E;
      writer.OnRecord(r);
    }
    writer.OnFinish({});
  }
  const std::string fields = Output("tshark -r " + pcap +
                                    " -T fields -E separator=, -E occurrence=f -e e212.lai.mcc -e e212.lai.mnc"
                                    " -e gsm_a.lac -e gsm_a.bssmap.cell_ci 2>/dev/null");
  fs::remove_all(dir);
  std::istringstream lines(fields);
  std::string line;
  for (const TSiCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(std::getline(lines, line)) << fields;
    TGsmCellInfo ours;
    ASSERT_TRUE(ReadSystemInformation(c.Bytes.data(), c.Bytes.size(), ours));
    unsigned mcc = 0, mnc = 0;
    int lac = -1, ci = -1;  // printed in hex
    EXPECT_EQ(std::sscanf(line.c_str(), "%u,%u,%i,%i", &mcc, &mnc, &lac, &ci), ours.HasCellId ? 4 : 3) << line;
    EXPECT_EQ(mcc, ours.Mcc) << line;
    EXPECT_EQ(mnc, ours.Mnc) << line;
    EXPECT_EQ(lac, ours.Lac) << line;
    EXPECT_EQ(ci, ours.HasCellId ? ours.CellId : -1) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << "more packets than messages";
}

}  // namespace
