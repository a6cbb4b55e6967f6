#include "platform/ByteString.h"

#include <new>
#include <utility>

TByteString::TByteString(const void* bytes, std::size_t length) {
  if (length == 0) return;
  if (length > 0x7FFFFFF0u) throw std::bad_alloc();
  FData = SharedStrNew(bytes, static_cast<int32_t>(length));
  if (!FData) throw std::bad_alloc();
}

TByteString::TByteString(const TByteString& other) noexcept : FData(other.FData) {
  SharedStrAddRef(FData);
}

TByteString& TByteString::operator=(const TByteString& other) noexcept {
  if (FData != other.FData) {
    SharedStrAddRef(other.FData);
    SharedStrRelease(FData);
    FData = other.FData;
  }
  return *this;
}

TByteString& TByteString::operator=(TByteString&& other) noexcept {
  if (this != &other) {
    SharedStrRelease(FData);
    FData = std::exchange(other.FData, nullptr);
  }
  return *this;
}

TByteString::~TByteString() { SharedStrRelease(FData); }

TByteString TByteString::Share(PSharedStr raw) noexcept {
  SharedStrAddRef(raw);
  return Adopt(raw);
}

TByteString TByteString::Adopt(PSharedStr raw) noexcept {
  TByteString s;
  s.FData = raw;
  return s;
}

PSharedStr TByteString::Detach() noexcept { return std::exchange(FData, nullptr); }
