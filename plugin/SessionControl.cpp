// Placeholder until this part of the decoder is built.
#include <stdexcept>

#include "plugin/Orvik7316MSDecode.h"

void TOrvik7316MSDecode::HandleFrameThunk(void*, void*, const TByteString&) {
  throw std::logic_error("HandleFrame is not yet available");
}

void TOrvik7316MSDecode::HandleFrame(const TByteString&) {
  throw std::logic_error("HandleFrame is not yet available");
}

void TOrvik7316MSDecode::ConnectStep(const TByteString&) {
  throw std::logic_error("ConnectStep is not yet available");
}

void TOrvik7316MSDecode::TestStep(const TByteString&) {
  throw std::logic_error("TestStep is not yet available");
}

bool TOrvik7316MSDecode::DecodeTestFrame(const TByteString&) {
  throw std::logic_error("DecodeTestFrame is not yet available");
}

void TOrvik7316MSDecode::TrackCallState(const TTestDataRecord&) {
  throw std::logic_error("TrackCallState is not yet available");
}

void TOrvik7316MSDecode::StoreRecord(const TTestDataRecord&) {
  throw std::logic_error("StoreRecord is not yet available");
}

bool TOrvik7316MSDecode::IsReplaying() const {
  throw std::logic_error("IsReplaying is not yet available");
}

void TOrvik7316MSDecode::SetLogFileName(PSharedStr) {
  throw std::logic_error("SetLogFileName is not yet available");
}

void TOrvik7316MSDecode::SetLogEnabled(bool) {
  throw std::logic_error("SetLogEnabled is not yet available");
}

void TOrvik7316MSDecode::ReceiveBytes(const void*, int32_t, int32_t) {
  throw std::logic_error("ReceiveBytes is not yet available");
}

void TOrvik7316MSDecode::Connect(bool) {
  throw std::logic_error("Connect is not yet available");
}

void TOrvik7316MSDecode::Disconnect() {
  throw std::logic_error("Disconnect is not yet available");
}

void TOrvik7316MSDecode::EnterIdle() {
  throw std::logic_error("EnterIdle is not yet available");
}

void TOrvik7316MSDecode::StartTest() {
  throw std::logic_error("StartTest is not yet available");
}

void TOrvik7316MSDecode::ResetAndStartTest() {
  throw std::logic_error("ResetAndStartTest is not yet available");
}

void TOrvik7316MSDecode::StopTest() {
  throw std::logic_error("StopTest is not yet available");
}

int32_t TOrvik7316MSDecode::GetThroughput() {
  throw std::logic_error("GetThroughput is not yet available");
}

void TOrvik7316MSDecode::SilenceHandler(void*, TMSWatcher*) {
  throw std::logic_error("SilenceHandler is not yet available");
}

void TOrvik7316MSDecode::StopAndJoinWatcher() {
  throw std::logic_error("StopAndJoinWatcher is not yet available");
}
