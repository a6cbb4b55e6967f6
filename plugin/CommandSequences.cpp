// Placeholder until this part of the decoder is built.
#include <stdexcept>

#include "plugin/Orvik7316MSDecode.h"

void TOrvik7316MSDecode::SendCommand(int32_t) {
  throw std::logic_error("SendCommand is not yet available");
}

void TOrvik7316MSDecode::SendCommandList(const TIntegerArray&) {
  throw std::logic_error("SendCommandList is not yet available");
}

void TOrvik7316MSDecode::RunStartupSequence() {
  throw std::logic_error("RunStartupSequence is not yet available");
}

void TOrvik7316MSDecode::RefreshReports() {
  throw std::logic_error("RefreshReports is not yet available");
}

void TOrvik7316MSDecode::PreparePort() {
  throw std::logic_error("PreparePort is not yet available");
}

void TOrvik7316MSDecode::ReopenAndStartTest() {
  throw std::logic_error("ReopenAndStartTest is not yet available");
}

void TOrvik7316MSDecode::SendConnectRequest(bool) {
  throw std::logic_error("SendConnectRequest is not yet available");
}

TStringList* TOrvik7316MSDecode::BuildCallCommand(int32_t, const TCallSettings*) {
  throw std::logic_error("BuildCallCommand is not yet available");
}
