#include "refhost/run/SessionRunner.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

TSessionRunner::TSessionRunner(TRunPlan plan) : Plan(std::move(plan)) {}

void TSessionRunner::RequestStop() {
  {
    std::lock_guard lock(Lock);
    StopAsked = true;
  }
  Plan.Queue->RequestStop();
  Wake.notify_all();
}

TRunOutcome TSessionRunner::Run() {
  TRunOutcome outcome;
  TRecordStore store(Plan.Describe);
  for (TRecordSink* sink : Plan.Sinks) store.AddSink(sink);
  TSessionOptions options = Plan.Options;
  options.Notice = [this](const std::string& text) {
    {
      std::lock_guard lock(Lock);
      Notices.push_back(text);
    }
    Wake.notify_all();
  };
  TSessionDriver driver(*Plan.Plugin, *Plan.Port, *Plan.Queue, store, options);
  if (Plan.Tap != nullptr) driver.SetCaptureTap(Plan.Tap);
  {
    std::lock_guard lock(Lock);
    if (StopAsked) Plan.Queue->RequestStop();
  }

  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  std::thread driving([&] {
    try {
      outcome.End = driver.Run();
    } catch (...) {
      outcome.Failure = std::current_exception();
    }
    {
      std::lock_guard lock(Lock);
      DriverDone = true;
    }
    Wake.notify_all();
  });
  for (TEventSource* source : Plan.Sources) source->Start();

  const auto period = std::chrono::duration<double>(Plan.StatusPeriodSeconds > 0 ? Plan.StatusPeriodSeconds : 1);
  std::unique_lock lock(Lock);
  while (!DriverDone) {
    Wake.wait_for(lock, period, [this] { return DriverDone || !Notices.empty(); });
    std::vector<std::string> notices;
    notices.swap(Notices);
    const bool done = DriverDone;
    const double now = elapsed();
    if (!done && Plan.DurationSeconds > 0 && now >= Plan.DurationSeconds && !StopAsked) {
      StopAsked = true;
      outcome.DurationReached = true;
      Plan.Queue->RequestStop();
    }
    lock.unlock();
    for (const std::string& notice : notices)
      if (Plan.OnNotice) Plan.OnNotice(notice);
    if (!done && Plan.OnStatus) Plan.OnStatus(now, driver.Status());
    lock.lock();
  }
  lock.unlock();
  driving.join();
  Plan.Queue->Close();
  for (auto source = Plan.Sources.rbegin(); source != Plan.Sources.rend(); ++source) (*source)->Stop();

  outcome.ElapsedSeconds = elapsed();
  outcome.Counters = driver.Counters();
  outcome.RecordsWritten = store.Written();
  outcome.EndMessage = driver.EndMessage();
  if (outcome.End != TSessionEnd::StoppedByUser) outcome.DurationReached = false;
  return outcome;
}

std::string EndingText(const char* what, const TRunOutcome& outcome) {
  const char* how = outcome.DurationReached ? "duration reached" : SessionEndName(outcome.End);
  char text[160];
  std::snprintf(text, sizeof text, "%s ended (%s) after %.1f s", what, how, outcome.ElapsedSeconds);
  return text;
}
