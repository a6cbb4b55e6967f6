#include "refhost/gps/GpsdReader.h"

#include <gps.h>

#include <cerrno>
#include <cmath>
#include <stdexcept>

#include "refhost/output/IsoTime.h"

namespace {

constexpr int WaitMicroseconds = 100000;  // how long Stop() may wait at most
constexpr double UnixEpochDays = 25569.0;

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool TGpsdReader::SplitAddress(const std::string& address, std::string& host, std::string& port) {
  std::string h = address, p = "2947";
  if (!address.empty() && address[0] == '[') {
    const size_t close = address.find(']');
    if (close == std::string::npos) return false;
    h = address.substr(1, close - 1);
    const std::string rest = address.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      p = rest.substr(1);
    }
  } else if (const size_t colon = address.rfind(':'); colon != std::string::npos) {
    h = address.substr(0, colon);
    p = address.substr(colon + 1);
  }
  if (h.empty() || !AllDigits(p)) return false;
  host = h;
  port = p;
  return true;
}

TGpsdReader::TGpsdReader(const std::string& host, const std::string& port, TFixCallback onFix,
                         TGpsEndCallback onEnd, TUtcToHost toHost, TGpsWarning warn)
    : Where(host + ":" + port), OnFix(std::move(onFix)), OnEnd(std::move(onEnd)),
      ToHost(toHost ? std::move(toHost) : TUtcToHost(LocalTimeFromUtc)), Gate("gpsd:" + Where, std::move(warn)),
      Data(new gps_data_t{}) {
  if (gps_open(host.c_str(), port.c_str(), Data) != 0) {
    const std::string why = gps_errstr(errno);
    delete Data;
    throw std::runtime_error("cannot reach gpsd at " + Where + ": " + why +
                             "; check that gpsd runs and listens there (gpsd -S PORT)");
  }
  if (gps_stream(Data, WATCH_ENABLE | WATCH_JSON, nullptr) != 0) {
    gps_close(Data);
    delete Data;
    throw std::runtime_error("gpsd at " + Where + " refused to stream reports; check its version");
  }
}

TGpsdReader::~TGpsdReader() {
  Stop();
  gps_stream(Data, WATCH_DISABLE, nullptr);
  gps_close(Data);
  delete Data;
}

void TGpsdReader::Start() {
  if (!Worker.joinable()) Worker = std::thread([this] { Run(); });
}

void TGpsdReader::Stop() {
  Stopping = true;
  if (Worker.joinable()) Worker.join();
}

void TGpsdReader::Run() {
  timespec last{-1, -1};  // no report yet: even a first time of 0 is looked at
  while (!Stopping) {
    errno = 0;
    if (!gps_waiting(Data, WaitMicroseconds)) {
      if (errno != 0 && errno != EINTR && errno != EAGAIN) {
        if (OnEnd) OnEnd("lost gpsd at " + Where + "; check that gpsd still runs");
        return;
      }
      continue;
    }
    if (gps_read(Data, nullptr, 0) < 0) {
      if (OnEnd) OnEnd("lost gpsd at " + Where + "; check that gpsd still runs");
      return;
    }
    const gps_fix_t& f = Data->fix;
    if (!(Data->set & MODE_SET) || f.mode < MODE_2D || !std::isfinite(f.latitude) ||
        !std::isfinite(f.longitude))
      continue;
    // One fix per report time. A time libgps could not read comes out as
    // 1899-12-31 and a missing one as 1970-01-01: both refused below.
    if (f.time.tv_sec == last.tv_sec && f.time.tv_nsec == last.tv_nsec) continue;
    last = f.time;
    TGpsFix fix;
    const double unix = static_cast<double>(f.time.tv_sec) + f.time.tv_nsec / 1e9;
    fix.Time = ToHost(UnixEpochDays + unix / 86400.0);
    fix.Longitude = f.longitude;
    fix.Latitude = f.latitude;
    fix.AltitudeM = f.mode >= MODE_3D && std::isfinite(f.altMSL) ? f.altMSL : NAN;
    fix.SpeedMps = std::isfinite(f.speed) ? f.speed : NAN;
    fix.Quality = f.status > 0 ? f.status : 1;
    fix.Satellites = Data->satellites_used > 0 ? Data->satellites_used : -1;
    if (Gate.Check(fix)) OnFix(fix);
  }
}
