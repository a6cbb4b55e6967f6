// Serves a simulated handset on a serial line (Linux): a new
// pseudo-terminal, or an existing device such as one end of a null-modem
// pair. A thread of its own reads what the host writes, hands it to the
// simulator with the time since the start (monotonic clock, seconds), and
// writes back what the simulator sends. It sleeps in poll() until the line
// has bytes or the simulator's next event is due, never spinning.
//
// Dropping the line closes it (on a pseudo-terminal the host's reads then
// fail); restoring it opens a new pseudo-terminal (or reopens the device)
// and points the stable link, if any, at it, so a host that reopens the
// link's path finds the line again.
//
// Threads: every public member may be called from any thread; the serving
// thread is the only one that touches the simulator, under a lock that
// Commands() and Stats() also take.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "refhost/sim/HandsetSimulator.h"

// The line could not be opened: says which path and why.
class EPtyHandset : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TLineDrop {
  double AtS = 0;   // seconds since the start
  double ForS = 0;  // how long the line stays down
};

struct TPtyHandsetOptions {
  TSimulatorOptions Simulator;
  std::string DevicePath;        // serve this device; empty: a new pseudo-terminal
  std::string LinkPath;          // kept pointing at the current pseudo-terminal; may be empty
  std::vector<TLineDrop> Drops;  // scheduled drops of the line
};

class TPtyHandset {
 public:
  // Opens the line and starts serving. Throws EPtyHandset when the line
  // cannot be opened or the link cannot be made; nothing is left open then.
  explicit TPtyHandset(const TPtyHandsetOptions& options);
  // Stops serving, closes the line and removes the link.
  ~TPtyHandset();
  TPtyHandset(const TPtyHandset&) = delete;
  TPtyHandset& operator=(const TPtyHandset&) = delete;

  // The path a host opens now: the pseudo-terminal's slave (it changes when
  // the line is restored), or the device.
  std::string Path() const;
  // The stable link, or Path() when there is none.
  std::string StablePath() const;
  bool LineUp() const;

  // Drop or restore the line now; both return once done. Restore throws
  // EPtyHandset when no new line can be opened.
  void DropLine();
  void RestoreLine();
  // Stops the thread; the line stays as it is until destruction. Idempotent.
  void Stop();

  // Copies, taken under the lock.
  std::vector<TSimCommand> Commands() const;
  TSimStats Stats() const;
  std::vector<TSimTruthEvent> Truth() const;
  // Bytes written to the line, and bytes the simulator sent while the line
  // was down or while nobody read it beyond a 4 MB backlog (discarded).
  int64_t BytesWritten() const;
  int64_t BytesDiscarded() const;
  // Seconds since the start on the clock the simulator sees.
  double Now() const;

 private:
  enum class TRequest { None, Drop, Restore };

  void Open();        // caller holds Lock
  void Close();       // caller holds Lock
  void UpdateLink();  // caller holds Lock
  void Serve();
  void Request(TRequest request);
  void WriteOut();                  // caller holds Lock
  int TimeoutMs(double now) const;  // caller holds Lock

  TPtyHandsetOptions Opts;
  THandsetSimulator Simulator;
  const int64_t StartNs;
  mutable std::mutex Lock;
  std::condition_variable Done;
  int LineFd = -1;  // pty master, or the device
  int HoldFd = -1;  // our own slave descriptor, so the master never hangs up
  int WakeFds[2] = {-1, -1};
  std::string SlavePath;
  std::vector<uint8_t> Pending;
  size_t NextDrop = 0;
  double RestoreAt = -1;
  TRequest Requested = TRequest::None;
  std::string RequestError;
  bool Stopping = false;
  int64_t Written = 0, Discarded = 0;
  std::thread Thread;
};
