// Splits the bytes the plug-in writes to the handset into commands.
//
// The conditions: commands arrive back to back with no separator, and the
// bytes may be cut into reads anywhere. Catalogue strings are prefix-free,
// so a longest match on the prefix bytes ('\', '*', '+', '-', '&', 'X', '(')
// settles every command once enough bytes are in. Two texts reach further:
// the dial text ("\D", the number, CR LF) and the connect request
// ("123\2" CR LF), whose first byte is also the command "1". A byte string
// that may still grow into one of them waits for more bytes; if none come
// within `StaleAfterS`, what can be settled is settled. A byte that starts
// nothing known is skipped and counted.
//
// No I/O and no clock of its own: the caller passes the time with the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Catalogue index of the connect request, which is not in the catalogue.
constexpr int SimConnectRequest = -1;

struct TSimCommand {
  int Index = 0;     // catalogue index 0..88, or SimConnectRequest
  std::string Text;  // the bytes as received (for a dial, "\D", the number and CR LF)
  double Time = 0;   // simulator time when it was recognised
  // The number of a dial text; empty otherwise.
  std::string Number() const;
};

class TSimCommandSplitter {
 public:
  static constexpr double StaleAfterS = 0.5;
  static constexpr size_t MaxDialLength = 40;

  // Appends bytes received at `now`; completed commands are appended to
  // `out` in arrival order.
  void Push(const uint8_t* data, size_t count, double now, std::vector<TSimCommand>& out);
  // Settles what was left waiting once `now` is StaleAfterS past the last
  // bytes.
  void Flush(double now, std::vector<TSimCommand>& out);
  // When Flush would settle waiting bytes; +inf when nothing waits.
  double StaleAt() const;
  int64_t SkippedBytes() const { return Skipped; }

 private:
  void Split(bool settle, std::vector<TSimCommand>& out);

  std::string Pending;
  double LastTime = 0;
  int64_t Skipped = 0;
};
