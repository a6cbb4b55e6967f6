// TByteString: the system's counted byte string.
//
// Holds any byte values; the length is carried, and no terminator is counted
// (one 0x00 follows the bytes for convenience). The storage is a shared
// string block of the host's memory manager (see host/SharedMM.h), so a
// TByteString can be handed across the plug-in boundary as a PSharedStr and
// released on the other side. Copies share the block (reference counted);
// the bytes are never changed once made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/SharedMM.h"

class TByteString {
 public:
  TByteString() noexcept = default;
  // Copies `length` bytes; throws std::bad_alloc when memory is exhausted.
  TByteString(const void* bytes, std::size_t length);
  explicit TByteString(std::string_view text) : TByteString(text.data(), text.size()) {}

  TByteString(const TByteString& other) noexcept;
  TByteString(TByteString&& other) noexcept : FData(other.FData) { other.FData = nullptr; }
  TByteString& operator=(const TByteString& other) noexcept;
  TByteString& operator=(TByteString&& other) noexcept;
  ~TByteString();

  // Wraps a string that came across the boundary. Share takes a reference of
  // its own (the caller keeps its reference); Adopt takes over the caller's.
  static TByteString Share(PSharedStr raw) noexcept;
  static TByteString Adopt(PSharedStr raw) noexcept;
  // The block itself, borrowed (null when empty).
  PSharedStr Raw() const noexcept { return FData; }
  // Gives this string's reference to the caller, who releases it with
  // SharedStrRelease; this object becomes empty.
  PSharedStr Detach() noexcept;

  std::size_t size() const noexcept { return static_cast<std::size_t>(SharedStrLength(FData)); }
  bool empty() const noexcept { return FData == nullptr; }
  // Never null; points at the bytes (or at an empty terminated string).
  const char* data() const noexcept { return FData ? FData : ""; }
  const uint8_t* bytes() const noexcept { return reinterpret_cast<const uint8_t*>(data()); }
  std::string_view view() const noexcept { return {data(), size()}; }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const TByteString& a, const TByteString& b) noexcept {
    return a.view() == b.view();
  }

 private:
  PSharedStr FData = nullptr;
};
