// The live view in process: the feed against the JSON Lines file it must
// mirror, clients that join late, resume, stall or crowd in, and the
// server's refusals read off a raw socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "refhost/output/JsonLines.h"
#include "refhost/view/LiveViewServer.h"

namespace {

using namespace std::chrono_literals;

// A drive as the writers see it: settings, fixes, idle and dedicated
// reports, a message, a gap, a summary. Texts carry what JSON must escape.
void Drive(TRecordSink& sink, int records) {
  sink.OnStart({"/dev/ttyUSB0 \"left\"", "gpsd:localhost:2947", 60, 0});
  for (int i = 0; i < records; ++i) {
    const TDays t = 46364.5 + i / 86400.0;
    if (i % 2 == 0) sink.OnFix({t, 13.4 + i * 1e-4, 52.52, 35, 12.5, 1, 8});
    THostRecord r;
    r.Index = i, r.TimeStamp1 = r.TimeStamp2 = t, r.Longitude = 13.4 + i * 1e-4, r.Latitude = 52.52;
    r.Method = TPositionMethod::Interpolated;
    if (i % 3 == 1) r.MessageId = 0x301, r.Layer3 = {0x03, 0x01, 0x04}, r.CallState = TCallStateView::Alerting;
    else if (i % 3 == 2) r.DedicatedReport = TDedicatedValues{26, 37, 40, 41, 2, 1, 3, 5, {{64, 21, 30}}};
    else r.Idle = TIdleValues{26, 37, static_cast<uint8_t>(20 + i % 30), 24, 24, {{64, 21, 24}, {87, 47, 23}}};
    sink.OnRecord(r);
  }
  sink.OnGap({46364.5, 46364.5001, "no bytes for 10 s"});
  sink.OnFinish({});
}

// The lines of `text` that start with `prefix`, without it: the entries of
// SSE text, or every line of a file.
std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  return lines;
}

// A client that arrives before, between or after two drives, with or
// without a Last-Event-ID, and the first entry of the file it must get.
struct TJoinCase {
  const char* Name;
  int DrivesBefore;
  uint64_t Resume;
  size_t ExpectFrom;
};

void PrintTo(const TJoinCase& c, std::ostream* os) { *os << c.Name; }

class LiveFeed : public ::testing::TestWithParam<TJoinCase> {};

TEST_P(LiveFeed, AClientGetsTheFileFromWhereItJoins) {
  const TJoinCase& c = GetParam();
  std::ostringstream written;  // the JSON Lines file of the same two drives
  TJsonLinesWriter writer(written);
  Drive(writer, 20);
  Drive(writer, 20);
  const std::vector<std::string> file = Lines(written.str(), "{\"");
  TLiveFeed feed({.BatchEntries = 7});  // several batches, so ids and batch edges are crossed
  for (int i = 0; i < c.DrivesBefore; ++i) Drive(feed, 20);
  auto client = feed.Join(c.Resume);
  ASSERT_TRUE(client);
  std::string sse;
  feed.Next(*client, sse, 0ms);
  for (int i = c.DrivesBefore; i < 2; ++i) Drive(feed, 20);
  feed.Stop();
  while (feed.Next(*client, sse, 0ms)) {
  }
  EXPECT_EQ(Lines(sse, "data: {\""), std::vector<std::string>(file.begin() + c.ExpectFrom, file.end()));
  EXPECT_NE(sse.rfind("event: end\n"), std::string::npos);
  // The last id names the last entry: a reconnect after it gets nothing again.
  const size_t id = sse.rfind("\nid: ");
  ASSERT_NE(id, std::string::npos);
  EXPECT_EQ(std::strtoull(sse.c_str() + id + 5, nullptr, 10), file.size());
}

INSTANTIATE_TEST_SUITE_P(Joins, LiveFeed,
                         ::testing::Values(TJoinCase{"AtTheStart", 0, 0, 0}, TJoinCase{"MidSession", 1, 0, 0},
                                           TJoinCase{"AfterTheEnd", 2, 0, 0},
                                           TJoinCase{"ResumingAfterEntry9", 1, 9, 9},
                                           TJoinCase{"ResumingPastTheHead", 1, 500, 33}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(LiveFeedLimits, AStalledClientIsDroppedAndTheHistoryStaysBounded) {
  const TLiveFeedLimits limits{.MaxClients = 2, .ClientLagBytes = 8192, .HistoryBytes = 64u << 10};
  TLiveFeed feed(limits);
  auto reader = feed.Join(), stalled = feed.Join();
  ASSERT_TRUE(reader && stalled);
  EXPECT_FALSE(feed.Join()) << "a third client past MaxClients";
  std::string out;
  feed.Next(*stalled, out, 0ms);  // caught up once, then never reads again
  // The reader keeps up, a drive of one record (five entries) at a time.
  for (int round = 0; round < 1000; ++round) {
    Drive(feed, 1);
    out.clear();
    ASSERT_TRUE(feed.Next(*reader, out, 0ms));
  }
  EXPECT_EQ(feed.ClientsDropped(), 1);
  out.clear();
  EXPECT_FALSE(feed.Next(*stalled, out, 0ms));
  EXPECT_LE(feed.HistoryBytesHeld(), limits.HistoryBytes);
  EXPECT_EQ(feed.Entries(), 5000u);
  feed.Leave(stalled);
  EXPECT_TRUE(feed.Join()) << "a dropped client's place is free again";
}

// ---- the server, over a raw socket ----

// Sends `request` on a new connection to the port. Reading: the answer's
// status (-1 for none within 3 s), the connection closed. Not reading: the
// connection, left open, as the status.
int Send(int port, const std::string& request, bool read = true, int receiveBuffer = 0) {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0) ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
  ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
  if (!read) return sock;
  timeval wait{3, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char answer[16] = {};
  const ssize_t got = ::recv(sock, answer, sizeof answer - 1, MSG_WAITALL);
  ::close(sock);
  return got > 12 ? std::atoi(answer + 9) : -1;
}

struct TRequestCase {
  const char* Name;
  const char* Method;
  const char* Path;
  std::string Host;  // PORT stands for the server's
  int Status;
};

void PrintTo(const TRequestCase& c, std::ostream* os) { *os << c.Method << ' ' << c.Path << " Host " << c.Host; }

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = std::make_unique<TLiveViewServer>(Feed, TViewAddress{"127.0.0.1", 0}, Limits);
    Server->Start();
  }
  std::string Request(const char* method, const char* path, std::string host) {
    if (const size_t at = host.find("PORT"); at != std::string::npos)
      host.replace(at, 4, std::to_string(Server->Port()));
    return std::string(method) + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
  }
  TLiveFeedLimits Limits{.MaxClients = 1};
  TLiveFeed Feed{Limits};
  std::unique_ptr<TLiveViewServer> Server;
};

class LiveViewServer : public ServerFixture, public ::testing::WithParamInterface<TRequestCase> {};

TEST_P(LiveViewServer, Answers) {
  const TRequestCase& c = GetParam();
  EXPECT_EQ(Send(Server->Port(), Request(c.Method, c.Path, c.Host)), c.Status);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, LiveViewServer,
    ::testing::Values(TRequestCase{"Page", "GET", "/", "127.0.0.1:PORT", 200},
                      TRequestCase{"Stream", "GET", "/events", "127.0.0.1:PORT", 200},
                      TRequestCase{"Post", "POST", "/", "127.0.0.1:PORT", 405}, TRequestCase{"Put", "PUT", "/events", "127.0.0.1:PORT", 405},
                      TRequestCase{"Head", "HEAD", "/", "127.0.0.1:PORT", 405},
                      TRequestCase{"RebindingName", "GET", "/", "attacker.example:PORT", 421},
                      TRequestCase{"NoPort", "GET", "/events", "localhost", 421},
                      TRequestCase{"AFile", "GET", "/../../etc/passwd", "127.0.0.1:PORT", 404}),
    [](const auto& info) { return std::string(info.param.Name); });

class LiveViewClients : public ServerFixture {};

TEST_F(LiveViewClients, OnePastTheLimitGets503AndAStalledOneIsDroppedWithoutHoldingTheSession) {
  // The one slot goes to a page that never reads its socket.
  const std::string stream = Request("GET", "/events", "127.0.0.1:PORT");
  const int stalled = Send(Server->Port(), stream, false, 2048);
  ASSERT_GE(stalled, 0);
  for (int i = 0; i < 100 && Feed.Clients() < 1; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(Feed.Clients(), 1u);
  EXPECT_EQ(Send(Server->Port(), stream), 503);
  // The session goes on publishing while the stalled page takes nothing.
  const auto until = std::chrono::steady_clock::now() + 30s;
  int rounds = 0;
  while (Feed.ClientsDropped() == 0 && std::chrono::steady_clock::now() < until) {
    Drive(Feed, 200);
    ++rounds;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(Feed.ClientsDropped(), 1) << "after " << rounds << " rounds";
  ::close(stalled);
}

// The Host headers a server on 127.0.0.1:7316 (or [::1], or all addresses,
// or a name given on the command line) lets in.
struct THostCase {
  const char *Header, *Served;
  bool Allowed;
};

TEST(LiveViewAddress, LetsInOnlyHostHeadersThatNameTheServedAddress) {
  const THostCase cases[] = {
      {"127.0.0.1:7316", "127.0.0.1", true},     {"localhost:7316", "127.0.0.1", true},
      {"LocalHost:7316", "127.0.0.1", true},      {"[::1]:7316", "::1", true},
      {"192.168.1.20:7316", "0.0.0.0", true},     {"laptop.local:7316", "laptop.local", true},
      {"attacker.example:7316", "127.0.0.1", false}, {"127.0.0.1.nip.io:7316", "127.0.0.1", false},
      {"127.0.0.1:7317", "127.0.0.1", false},     {"127.0.0.1", "127.0.0.1", false},
      {"127.0.0.1:", "127.0.0.1", false},         {"", "127.0.0.1", false},
      {"[::1:7316", "::1", false},                {"localhost:7316@evil", "127.0.0.1", false}};
  for (const THostCase& c : cases)
    EXPECT_EQ(HostHeaderAllowed(c.Header, c.Served, 7316), c.Allowed) << c.Header << " served on " << c.Served;
}

TEST(LiveViewAddress, APortInUseIsRefusedBeforeAnythingRuns) {
  TLiveFeed feed;
  TLiveViewServer first(feed, {"127.0.0.1", 0}, {});
  try {
    TLiveViewServer second(feed, {"127.0.0.1", first.Port()}, {});
    FAIL() << "bound a port in use";
  } catch (const ELiveViewBind& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(first.Port()) + ": the port is in use"), std::string::npos);
  }
}

}  // namespace
