#include "serial/SendText.h"

#include <algorithm>
#include <cstdint>

void SendText(TDevicePort* port, std::string_view text) {
  if (!port) return;
  bool failed = false;
  try {
    // The port counts in 32 bits; a longer text goes out in pieces.
    constexpr std::size_t MaxPiece = INT32_MAX;
    while (!text.empty()) {
      const std::size_t piece = std::min(text.size(), MaxPiece);
      port->Write(text.data(), static_cast<int32_t>(piece));
      text.remove_prefix(piece);
    }
  } catch (...) {
    failed = true;
  }
  // Outside the handler, so a failing Close raises on its own.
  if (failed) port->Close();
}
