#include "refhost/sim/CommandSplitter.h"

#include <limits>
#include <string_view>

#include "serial/Orvik7316Cmd.h"

namespace {

enum class TMatch { None, Partial, Complete };

// How `pending` relates to `text`: a prefix of it (Partial), starting with
// it (Complete), or neither.
TMatch Compare(std::string_view pending, std::string_view text) {
  if (pending.size() < text.size())
    return text.starts_with(pending) ? TMatch::Partial : TMatch::None;
  return pending.starts_with(text) ? TMatch::Complete : TMatch::None;
}

constexpr int DialIndex = 0;

}  // namespace

std::string TSimCommand::Number() const {
  if (Index != DialIndex || Text.size() < 4) return {};
  return Text.substr(2, Text.size() - 4);
}

void TSimCommandSplitter::Push(const uint8_t* data, size_t count, double now,
                               std::vector<TSimCommand>& out) {
  if (count == 0) return;
  Pending.append(reinterpret_cast<const char*>(data), count);
  LastTime = now;
  Split(false, out);
}

void TSimCommandSplitter::Flush(double now, std::vector<TSimCommand>& out) {
  if (!Pending.empty() && now >= StaleAt()) Split(true, out);
}

double TSimCommandSplitter::StaleAt() const {
  return Pending.empty() ? std::numeric_limits<double>::infinity() : LastTime + StaleAfterS;
}

void TSimCommandSplitter::Split(bool settle, std::vector<TSimCommand>& out) {
  size_t pos = 0;
  auto emit = [&](int index, size_t length) {
    out.push_back({index, Pending.substr(pos, length), LastTime});
    pos += length;
  };
  while (pos < Pending.size()) {
    const std::string_view rest = std::string_view(Pending).substr(pos);
    // The connect request first: it must win over its leading "1".
    const TMatch connect = Compare(rest, ConnectRequest);
    if (connect == TMatch::Complete) {
      emit(SimConnectRequest, ConnectRequest.size());
      continue;
    }
    int complete = -1;
    bool partial = connect == TMatch::Partial;
    for (int i = 0; i < CommandCount; ++i) {
      const TMatch m = Compare(rest, CommandStrings[i]);
      if (m == TMatch::Complete) complete = i;
      if (m == TMatch::Partial) partial = true;
    }
    if (complete == DialIndex) {
      const size_t end = rest.find("\r\n");
      if (end != std::string_view::npos && end <= MaxDialLength) {
        emit(DialIndex, end + 2);
        continue;
      }
      if (end == std::string_view::npos && rest.size() <= MaxDialLength && !settle) break;
      emit(DialIndex, CommandStrings[DialIndex].size());  // a bare "\D": no number came
      continue;
    }
    if (partial && !settle) break;  // may still grow into something longer
    if (complete >= 0) {
      emit(complete, CommandStrings[complete].size());
    } else {
      ++pos;
      ++Skipped;
    }
  }
  Pending.erase(0, pos);
}
