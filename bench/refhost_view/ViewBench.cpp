// The live view's cost to a session: the CPU share (user + system time of
// the orvik-host process over its wall time) of a simulated live session
// with --view and one client following the stream, against the yardstick
// of the same session without --view, run in the same program. The goal is
// at most twice the yardstick's share. The client reads on a thread of this
// program, as a browser would in a process of its own.
//
// Length of each session: ORVIK_VIEW_BENCH_S seconds (default 10).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>

#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

int Seconds() {
  const char* text = std::getenv("ORVIK_VIEW_BENCH_S");
  const int s = text != nullptr ? std::atoi(text) : 0;
  return s > 0 ? s : 10;
}

struct TSessionCost {
  double CpuSeconds = 0, WallSeconds = 0;
  int64_t StreamBytes = 0;
};

// Reads the stream until the server closes it.
int64_t Follow(int port) {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int64_t total = 0;
  if (::connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    const std::string ask = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    ::send(sock, ask.data(), ask.size(), MSG_NOSIGNAL);
    char buffer[16384];
    for (ssize_t n; (n = ::recv(sock, buffer, sizeof buffer, 0)) > 0;) total += n;
  }
  ::close(sock);
  return total;
}

TSessionCost RunSession(bool view) {
  const fs::path exe = fs::read_symlink("/proc/self/exe").parent_path() / "orvik-host";
  const fs::path dir = fs::temp_directory_path() / ("orvik-view-bench-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<std::string> args{exe.string(), "live", "--simulate", "--quiet", "--duration",
                                std::to_string(Seconds()), "--out", (dir / "session").string()};
  if (view) args.insert(args.end(), {"--view", "127.0.0.1:0"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const fs::path out = dir / "stdout";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto started = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  std::thread client;
  TSessionCost cost;
  if (view) {
    // The address is the first line it prints.
    int port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
      std::ifstream in(out);
      std::string line;
      std::smatch m;
      if (std::getline(in, line) && std::regex_search(line, m, std::regex(":([0-9]+)/"))) port = std::stoi(m[1]);
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client = std::thread([&cost, port] { cost.StreamBytes = Follow(port); });
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  cost.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (client.joinable()) client.join();
  cost.CpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                    usage.ru_stime.tv_usec / 1e6;
  fs::remove_all(dir);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
  return cost;
}

void BM_LiveSessionCpuShare(benchmark::State& state) {
  TSessionCost without, with;
  for (auto _ : state) {
    without = RunSession(false);
    with = RunSession(true);
    state.SetIterationTime(with.WallSeconds);
  }
  const double yardstick = without.CpuSeconds / without.WallSeconds;
  const double viewed = with.CpuSeconds / with.WallSeconds;
  state.counters["cpu_share_without_view_pct"] = 100 * yardstick;
  state.counters["cpu_share_with_view_pct"] = 100 * viewed;
  state.counters["ratio"] = viewed / yardstick;
  state.counters["wall_s_without_view"] = without.WallSeconds;
  state.counters["wall_s_with_view"] = with.WallSeconds;
  state.counters["stream_kB"] = static_cast<double>(with.StreamBytes) / 1e3;
  if (with.StreamBytes == 0) state.SkipWithError("the client got nothing from the stream");
  else if (viewed > 2 * yardstick) state.SkipWithError("the view more than doubles the session's CPU share");
}
BENCHMARK(BM_LiveSessionCpuShare)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
