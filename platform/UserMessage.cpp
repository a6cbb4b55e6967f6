#include "platform/UserMessage.h"

#include <mutex>
#include <utility>

#include "platform/SystemHooks.h"

namespace {

// The one sink of the process; an empty function means the default.
struct TSinkSlot {
  std::mutex Mutex;
  TUserMessageSink Sink;
};

TSinkSlot& Slot() {
  static TSinkSlot slot;
  return slot;
}

}  // namespace

void ShowUserMessage(std::string_view text) {
  TUserMessageSink sink;
  {
    std::lock_guard<std::mutex> lock(Slot().Mutex);
    sink = Slot().Sink;
  }
  if (sink) {
    sink(text);
  } else {
    platform_detail::DefaultUserMessage(text);
  }
}

TUserMessageSink SetUserMessageSink(TUserMessageSink sink) {
  std::lock_guard<std::mutex> lock(Slot().Mutex);
  return std::exchange(Slot().Sink, std::move(sink));
}
