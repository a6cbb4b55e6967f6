#include "refhost/view/LiveViewServer.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/port/StatusLine.h"

namespace {

bool ParsePort(std::string_view text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port >= 0 && port <= 65535;
}

bool AddressLiteral(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Only what the host has: SO_REUSEADDR so a restart finds the port at once,
// and not httplib's SO_REUSEPORT, which would let a second program share a
// port in use instead of being refused.
void SocketOptions(int sock) {
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

uint64_t ResumePoint(const httplib::Request& request) {
  const std::string id = request.get_header_value("Last-Event-ID");
  uint64_t n = 0;
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), n);
  return error == std::errc() && end == id.data() + id.size() ? n : 0;
}

}  // namespace

bool ParseViewAddress(std::string_view text, TViewAddress& out, std::string& error) {
  TViewAddress address;
  std::string_view host = text, port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
      error = "'" + std::string(text) + "' opens '[' without closing it; write e.g. [::1]:7316";
      return false;
    }
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') {
        error = "'" + std::string(text) + "' has something other than :PORT after the address; write e.g. [::1]:7316";
        return false;
      }
      port = text.substr(close + 2);
      if (port.empty()) port = "x";
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    if (text.find(':') != colon) {
      error = "'" + std::string(text) + "': put an IPv6 address in brackets, e.g. [::1]:7316";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) port = "x";
  }
  if (!host.empty()) address.Host = host;
  if (!port.empty() && !ParsePort(port, address.Port)) {
    error = "'" + std::string(text) +
            "' has no port number 0..65535 after ':'; e.g. 127.0.0.1:7316, or :0 for a free port";
    return false;
  }
  out = address;
  return true;
}

bool HostHeaderAllowed(std::string_view header, const std::string& servedHost, int port) {
  std::string_view host = header, portText;
  if (!header.empty() && header.front() == '[') {
    const size_t close = header.find(']');
    if (close == std::string_view::npos) return false;
    host = header.substr(0, close + 1);
    if (close + 1 < header.size()) {
      if (header[close + 1] != ':') return false;
      portText = header.substr(close + 2);
    }
  } else if (const size_t colon = header.rfind(':'); colon != std::string_view::npos) {
    host = header.substr(0, colon);
    portText = header.substr(colon + 1);
  }
  int given = 80;
  if (!portText.empty() && !ParsePort(portText, given)) return false;
  if (portText.empty() && header.find(':') != std::string_view::npos && header.front() != '[') return false;
  if (given != port || host.empty()) return false;
  const std::string bare = host.front() == '[' ? std::string(host.substr(1, host.size() - 2)) : std::string(host);
  return SameText(bare, servedHost) || SameText(bare, "localhost") || AddressLiteral(std::string(host));
}

TLiveViewServer::TLiveViewServer(TLiveFeed& feed, const TViewAddress& address, const TLiveFeedLimits& limits)
    : Feed(feed), Host(address.Host), Page(LiveViewPage()), Server(std::make_unique<httplib::Server>()) {
  httplib::Server& server = *Server;
  server.set_socket_options(SocketOptions);
  // One thread per stream, and some for the page and the refusals.
  const size_t threads = limits.MaxClients + 4;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_write_timeout(ViewWriteTimeoutSeconds, 0);
  server.set_read_timeout(5, 0);
  server.set_payload_max_length(64u << 10);
  // One request per connection: an idle kept-alive connection would hold a
  // thread, and the stop, for the keep-alive timeout.
  server.set_keep_alive_max_count(1);

  server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    if (request.method != "GET") {
      response.status = 405;
      response.set_header("Allow", "GET");
      response.set_content("The live view answers GET only.\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!HostHeaderAllowed(request.get_header_value("Host"), Host, BoundPort)) {
      response.status = 421;
      response.set_content("This live view is served as " + Url() + "; open that address.\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Get("/", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(Page, "text/html; charset=utf-8");
  });
  const size_t maxClients = limits.MaxClients;
  server.Get("/events", [this, maxClients](const httplib::Request& request, httplib::Response& response) {
    std::shared_ptr<TLiveFeed::TClient> client = Feed.Join(ResumePoint(request));
    if (!client) {
      response.status = 503;
      response.set_header("Retry-After", "10");
      response.set_content("The live view has " + std::to_string(maxClients) +
                               " viewers already, as many as it serves; close one and reload.\n",
                           "text/plain");
      return;
    }
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, client](size_t, httplib::DataSink& sink) {
          std::string out;
          const bool more = Feed.Next(*client, out, std::chrono::milliseconds(1000));
          // A comment when there is nothing: a closed page is found and its place freed.
          if (out.empty()) out = ":\n\n";
          const auto started = std::chrono::steady_clock::now();
          if (!sink.write(out.data(), out.size())) {
            if (std::chrono::steady_clock::now() - started >= std::chrono::seconds(ViewWriteTimeoutSeconds) / 2)
              Feed.DropStalled(*client);
            return false;
          }
          if (!more) sink.done();
          return true;
        },
        [this, client](bool) { Feed.Leave(client); });
  });

  if (address.Port == 0) {
    BoundPort = server.bind_to_any_port(address.Host);
    if (BoundPort <= 0)
      throw ELiveViewBind("--view cannot listen on " + address.Host + ": it is not an address of this machine; "
                          "give one (e.g. --view 127.0.0.1:0)");
  } else {
    if (!server.bind_to_port(address.Host, address.Port))
      throw ELiveViewBind("--view cannot listen on " + address.Host + ":" + std::to_string(address.Port) +
                          ": the port is in use (or the address is not this machine's); give another port "
                          "(--view " + address.Host + ":" + std::to_string(address.Port + 1) +
                          ") or --view :0 for a free one");
    BoundPort = address.Port;
  }
}

TLiveViewServer::~TLiveViewServer() { Stop(); }

std::string TLiveViewServer::Url() const {
  const bool v6 = Host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(BoundPort) + "/";
}

void TLiveViewServer::Start() {
  Listening = std::thread([this] {
    // A page closed mid-write must not kill the session with SIGPIPE: the
    // server's threads (the pool starts from this one) take EPIPE instead.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Server->listen_after_bind();
  });
}

void TLiveViewServer::Stop() {
  Feed.Stop();
  if (!Listening.joinable()) return;
  // The streams end themselves once they have sent the rest; a stalled one
  // within the write timeout.
  for (int i = 0; i < 10 * (ViewWriteTimeoutSeconds + 1) && Feed.Clients() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Server->stop();
  Listening.join();
}

std::string ViewStatusJson(const TStatusValues& v, int64_t clientsDropped) {
  const TSessionCounters& c = v.Counters;
  nlohmann::ordered_json o{
      {"elapsed_s", std::round(v.ElapsedSeconds * 10) / 10},
      {"records", v.Records},
      {"frames_per_second", v.FramesPerSecond},
      {"call_state", v.CallState},
      {"fix_age_s", v.LastFixAgeSeconds < 0 ? nlohmann::ordered_json(nullptr)
                                            : nlohmann::ordered_json(std::round(v.LastFixAgeSeconds * 10) / 10)},
      {"gps_problem", v.GpsProblem},
      {"line_up", v.LineUp},
      {"queue_fill_bytes", v.QueueFillBytes},
      {"queue_capacity_bytes", v.QueueCapacityBytes},
      {"bytes_received", c.BytesReceived},
      {"frames_decoded", c.FramesDecoded},
      {"frames_rejected", c.FramesRejected},
      {"gaps", c.Gaps},
      {"fixes", c.Fixes},
      {"gps_outages", c.GpsOutages},
      {"view_clients_dropped", clientsDropped}};
  o["kpi"] = KpiJson(v.Kpis);
  return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

TLiveView::TLiveView(const TViewAddress& address, const TLiveFeedLimits& limits)
    : Feed(limits), Server(Feed, address, limits) {}

void TLiveView::Status(const TStatusValues& values) {
  const auto now = std::chrono::steady_clock::now();
  if (now - LastStatus < std::chrono::milliseconds(950)) return;
  LastStatus = now;
  Feed.SetStatus(ViewStatusJson(values, Feed.ClientsDropped()));
}

std::unique_ptr<TLiveView> OpenLiveView(const char* command, const std::string& text) {
  TViewAddress address;
  std::string error;
  if (!ParseViewAddress(text, address, error)) {
    std::fprintf(stderr, "orvik-host %s: --view %s\n", command, error.c_str());
    return nullptr;
  }
  try {
    auto view = std::make_unique<TLiveView>(address);
    std::printf("Live view: open %s in a browser\n", view->Url().c_str());
    std::fflush(stdout);
    return view;
  } catch (const ELiveViewBind& e) {
    std::fprintf(stderr, "orvik-host %s: %s\n", command, e.what());
    return nullptr;
  }
}
