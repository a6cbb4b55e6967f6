// A host port for tests: records every call of the twelve operations the
// decoder uses, in order, with its arguments; answers CurrentTime from a
// clock the test sets; and throws from any operation when told to.
//
// Threads: calls are recorded under a lock, so a port may be called from a
// second thread; set the controls (Clock, ClockStep, Opened, faults) while no
// other thread calls the port.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/DevicePort.h"

struct TPortCall {
  std::string Name;   // "Write", "Close", "EnableA", ...
  std::string Bytes;  // Write: the bytes handed over; empty for the others
  int64_t Value = 0;  // Write: the count; Open/EnableA/EnableB: 0 or 1;
                      // SetOptionByte/A/B: the value; the others: 0
  bool Threw = false; // the call was recorded and then threw
  bool operator==(const TPortCall&) const = default;
};

// What a failing port operation throws by default.
class TPortFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// When one operation throws: never (the default), on every call, or only on
// its n-th call (0-based) counted from the moment the fault is armed.
class TPortFault {
 public:
  void Never() { Arm(Mode::Never, 0); }
  void Always() { Arm(Mode::Always, 0); }
  void OnCall(int32_t n) { Arm(Mode::Once, n); }
  // Throw an int instead of a std::exception, to prove a catch-all guard.
  bool NonStandard = false;

  // Counts one call and tells whether it fails.
  bool Fires() {
    const int32_t call = FSeen++;
    return FMode == Mode::Always || (FMode == Mode::Once && call == FAt);
  }

 private:
  enum class Mode { Never, Always, Once };
  void Arm(Mode mode, int32_t at) {
    FMode = mode;
    FAt = at;
    FSeen = 0;
  }
  Mode FMode = Mode::Never;
  int32_t FAt = 0;
  int32_t FSeen = 0;
};

class TRecordingPort : public TDevicePort {
 public:
  // CurrentTime returns Clock and then advances it by ClockStep, so two
  // readings in a row can be told apart.
  double Clock = 0.0;
  double ClockStep = 0.0;
  // IsOpen's answer; Open sets it, Close clears it (also when they throw).
  bool Opened = false;

  // The fault switch of an operation by its name ("Write", "EnableA", ...).
  TPortFault& Fault(std::string_view operation) {
    std::lock_guard<std::mutex> lock(FMutex);
    return FaultLocked(operation);
  }

  std::vector<TPortCall> Calls() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FCalls;
  }
  // The names of all calls in order, or of the calls of the named operations.
  std::vector<std::string> Names(std::initializer_list<std::string_view> only = {}) const {
    std::vector<std::string> names;
    for (const TPortCall& c : Calls()) {
      if (only.size() == 0 || Contains(only, c.Name)) names.push_back(c.Name);
    }
    return names;
  }
  // The bytes of every Write call in order, failed ones included.
  std::vector<std::string> Writes() const {
    std::vector<std::string> writes;
    for (const TPortCall& c : Calls()) {
      if (c.Name == "Write") writes.push_back(c.Bytes);
    }
    return writes;
  }
  int32_t CountOf(std::string_view name) const {
    int32_t n = 0;
    for (const TPortCall& c : Calls()) n += c.Name == name ? 1 : 0;
    return n;
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> lock(FMutex);
    FCalls.clear();
  }

  bool IsOpen() override {
    Record("IsOpen", {}, 0);
    return Opened;
  }
  void SetOptionByte(uint8_t value) override { Record("SetOptionByte", {}, value); }
  void SetOptionA(int32_t value) override { Record("SetOptionA", {}, value); }
  void SetOptionB(int32_t value) override { Record("SetOptionB", {}, value); }
  double CurrentTime() override {
    Record("CurrentTime", {}, 0);
    const double now = Clock;
    Clock += ClockStep;
    return now;
  }
  void Write(const void* data, int32_t count) override {
    const std::string bytes =
        data && count > 0 ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(count))
                          : std::string();
    Record("Write", bytes, count);
  }
  void Open(bool value) override {
    Opened = true;
    Record("Open", {}, value ? 1 : 0);
  }
  void Close() override {
    Opened = false;
    Record("Close", {}, 0);
  }
  void PurgeA() override { Record("PurgeA", {}, 0); }
  void PurgeB() override { Record("PurgeB", {}, 0); }
  void EnableA(bool value) override { Record("EnableA", {}, value ? 1 : 0); }
  void EnableB(bool value) override { Record("EnableB", {}, value ? 1 : 0); }

 private:
  static bool Contains(std::initializer_list<std::string_view> names, std::string_view name) {
    for (std::string_view n : names) {
      if (n == name) return true;
    }
    return false;
  }

  // Logs the call, then throws when the operation's fault fires.
  void Record(const char* name, std::string bytes, int64_t value) {
    bool fires = false;
    bool nonStandard = false;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      TPortFault& fault = FaultLocked(name);
      fires = fault.Fires();
      nonStandard = fault.NonStandard;
      FCalls.push_back({name, std::move(bytes), value, fires});
    }
    if (!fires) return;
    if (nonStandard) throw 7316;
    throw TPortFailure(std::string(name) + " failed");
  }

  TPortFault& FaultLocked(std::string_view operation) {
    auto it = FFaults.find(operation);
    if (it == FFaults.end()) it = FFaults.emplace(std::string(operation), TPortFault{}).first;
    return it->second;
  }

  mutable std::mutex FMutex;
  std::vector<TPortCall> FCalls;
  std::map<std::string, TPortFault, std::less<>> FFaults;
};
