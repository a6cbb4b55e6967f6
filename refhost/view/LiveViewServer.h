// The live view's web server: the drive report's page, fed by the session's
// entries as Server-Sent Events instead of data built into it.
//
// It serves exactly two things, both from memory: GET / (the page, with its
// script) and GET /events (the stream). Any other method gets 405, a Host
// header that does not name the served address 421 (a page of another site
// cannot reach it through a name that resolves to us), more than
// TLiveFeedLimits::MaxClients streams at once 503, anything else 404.
//
// Threads: the server runs on threads of its own (one listening, a pool that
// serves the requests, one per stream while it lasts). Construct, Start and
// Stop from one thread.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "refhost/view/LiveFeed.h"

namespace httplib {
class Server;
}

struct TStatusValues;

constexpr int DefaultViewPort = 7316;

struct TViewAddress {
  std::string Host = "127.0.0.1";
  int Port = DefaultViewPort;  // 0: any free port
};

// "HOST:PORT", "HOST", ":PORT", "[V6]:PORT" or "" (the defaults). False with
// `error` saying what is wrong.
bool ParseViewAddress(std::string_view text, TViewAddress& out, std::string& error);

// Whether a request's Host header names the address served on `port`: the
// host it was given, localhost, or an address literal, with that port.
bool HostHeaderAllowed(std::string_view header, const std::string& servedHost, int port);

// The server could not listen on the address; the message says which and
// what to do.
class ELiveViewBind : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TLiveViewServer {
 public:
  // Binds now, before the session starts; throws ELiveViewBind. `feed` is
  // borrowed and outlives the server.
  TLiveViewServer(TLiveFeed& feed, const TViewAddress& address, const TLiveFeedLimits& limits);
  ~TLiveViewServer();
  TLiveViewServer(const TLiveViewServer&) = delete;
  TLiveViewServer& operator=(const TLiveViewServer&) = delete;

  int Port() const { return BoundPort; }
  std::string Url() const;
  void Start();
  // Stops the feed, lets the streams send what they have (at most the write
  // timeout for a stalled one), then closes everything.
  void Stop();

 private:
  TLiveFeed& Feed;
  std::string Host;
  int BoundPort = 0;
  std::string Page;
  std::unique_ptr<httplib::Server> Server;
  std::thread Listening;
};

// Seconds a stream's socket may take no bytes before the client is dropped.
constexpr int ViewWriteTimeoutSeconds = 3;

// The page: the drive report's template with no data, and the live script.
std::string LiveViewPage();

// The "status" message: the status line's counters and KPIs so far, and the
// clients dropped.
std::string ViewStatusJson(const TStatusValues& values, int64_t clientsDropped);

// What a command runs for --view: the feed (a sink beside the writers), its
// server, and the status sent about once a second.
class TLiveView {
 public:
  // Binds; throws ELiveViewBind.
  explicit TLiveView(const TViewAddress& address, const TLiveFeedLimits& limits = {});
  TRecordSink& Sink() { return Feed; }
  std::string Url() const { return Server.Url(); }
  void Start() { Server.Start(); }
  // Sends the status when a second has passed since the last one.
  void Status(const TStatusValues& values);
  // Lets the pages get the rest of the session and closes the server.
  void Stop() { Server.Stop(); }
  int64_t ClientsDropped() const { return Feed.ClientsDropped(); }

 private:
  TLiveFeed Feed;
  TLiveViewServer Server;
  std::chrono::steady_clock::time_point LastStatus{};
};

// The view a command asked for with --view TEXT, bound and printed with the
// address to open; null after saying on stderr what is wrong and what to do.
std::unique_ptr<TLiveView> OpenLiveView(const char* command, const std::string& text);
