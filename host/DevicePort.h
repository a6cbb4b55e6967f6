// TDevicePort: the host's serial device port and clock, as the plug-in sees it.
//
// The host owns the object and hands it to GetDllDevice; the plug-in never
// creates, copies or releases it. The host's object is called by the position
// of an operation in its table of virtual operations, so this class declares
// 82 operations in slot order 0..81 (and the virtual destructor after them).
// The plug-in calls only the twelve operations marked "used"; they are pure,
// and a host implements them. Every other position is a reserved operation
// with a harmless default that does nothing and returns zero/false.
//
// Who calls: the decoder, on whichever host thread calls into the decoder
// (the receive thread for Write inside a report refresh, the host's control
// thread for the rest). The decoder never calls one port from two threads at
// once unless the host calls one decoder from two threads at once.
// Errors: any operation may throw a std::exception; the decoder contains the
// failures of Write, EnableA and EnableB and lets the others reach its caller.
#pragma once

#include <cstdint>

class TDevicePort {
 public:
  virtual void ReservedSlot00() {}  // slot 0
  virtual void ReservedSlot01() {}  // slot 1
  virtual void ReservedSlot02() {}  // slot 2
  virtual void ReservedSlot03() {}  // slot 3
  virtual void ReservedSlot04() {}  // slot 4
  virtual void ReservedSlot05() {}  // slot 5
  virtual void ReservedSlot06() {}  // slot 6
  // slot 7, used: Whether the port is open. False makes the decoder call Open(true).
  virtual bool IsOpen() = 0;
  virtual void ReservedSlot08() {}  // slot 8
  virtual void ReservedSlot09() {}  // slot 9
  virtual void ReservedSlot10() {}  // slot 10
  virtual void ReservedSlot11() {}  // slot 11
  virtual void ReservedSlot12() {}  // slot 12
  virtual void ReservedSlot13() {}  // slot 13
  virtual void ReservedSlot14() {}  // slot 14
  virtual void ReservedSlot15() {}  // slot 15
  virtual void ReservedSlot16() {}  // slot 16
  virtual void ReservedSlot17() {}  // slot 17
  virtual void ReservedSlot18() {}  // slot 18
  virtual void ReservedSlot19() {}  // slot 19
  virtual void ReservedSlot20() {}  // slot 20
  virtual void ReservedSlot21() {}  // slot 21
  virtual void ReservedSlot22() {}  // slot 22
  virtual void ReservedSlot23() {}  // slot 23
  virtual void ReservedSlot24() {}  // slot 24
  virtual void ReservedSlot25() {}  // slot 25
  virtual void ReservedSlot26() {}  // slot 26
  virtual void ReservedSlot27() {}  // slot 27
  virtual void ReservedSlot28() {}  // slot 28
  virtual void ReservedSlot29() {}  // slot 29
  virtual void ReservedSlot30() {}  // slot 30
  virtual void ReservedSlot31() {}  // slot 31
  virtual void ReservedSlot32() {}  // slot 32
  virtual void ReservedSlot33() {}  // slot 33
  virtual void ReservedSlot34() {}  // slot 34
  virtual void ReservedSlot35() {}  // slot 35
  virtual void ReservedSlot36() {}  // slot 36
  virtual void ReservedSlot37() {}  // slot 37
  virtual void ReservedSlot38() {}  // slot 38
  virtual void ReservedSlot39() {}  // slot 39
  // slot 40, used: Set-up value; the decoder passes 6 (position of "9600" in the baud-rate list).
  virtual void SetOptionByte(uint8_t value) = 0;
  virtual void ReservedSlot41() {}  // slot 41
  virtual void ReservedSlot42() {}  // slot 42
  virtual void ReservedSlot43() {}  // slot 43
  virtual void ReservedSlot44() {}  // slot 44
  virtual void ReservedSlot45() {}  // slot 45
  virtual void ReservedSlot46() {}  // slot 46
  virtual void ReservedSlot47() {}  // slot 47
  virtual void ReservedSlot48() {}  // slot 48
  virtual void ReservedSlot49() {}  // slot 49
  virtual void ReservedSlot50() {}  // slot 50
  virtual void ReservedSlot51() {}  // slot 51
  virtual void ReservedSlot52() {}  // slot 52
  virtual void ReservedSlot53() {}  // slot 53
  virtual void ReservedSlot54() {}  // slot 54
  virtual void ReservedSlot55() {}  // slot 55
  virtual void ReservedSlot56() {}  // slot 56
  virtual void ReservedSlot57() {}  // slot 57
  virtual void ReservedSlot58() {}  // slot 58
  virtual void ReservedSlot59() {}  // slot 59
  // slot 60, used: Set-up value; the decoder passes 100.
  virtual void SetOptionA(int32_t value) = 0;
  virtual void ReservedSlot61() {}  // slot 61
  virtual void ReservedSlot62() {}  // slot 62
  // slot 63, used: Set-up value; the decoder passes 100.
  virtual void SetOptionB(int32_t value) = 0;
  virtual void ReservedSlot64() {}  // slot 64
  virtual void ReservedSlot65() {}  // slot 65
  virtual void ReservedSlot66() {}  // slot 66
  // slot 67, used: The host clock as a local date-time: days since 1899-12-30, the fraction being the time of day.
  virtual double CurrentTime() = 0;
  virtual void ReservedSlot68() {}  // slot 68
  // slot 69, used: Sends `count` (1 or more) bytes. May throw; the decoder then calls Close once and drops the exception.
  virtual void Write(const void* data, int32_t count) = 0;
  virtual void ReservedSlot70() {}  // slot 70
  // slot 71, used: Opens the port (the decoder passes true); the port is open afterwards.
  virtual void Open(bool value) = 0;
  // slot 72, used: Closes the port.
  virtual void Close() = 0;
  virtual void ReservedSlot73() {}  // slot 73
  virtual void ReservedSlot74() {}  // slot 74
  virtual void ReservedSlot75() {}  // slot 75
  virtual void ReservedSlot76() {}  // slot 76
  // slot 77, used: Purge; the decoder relies on no result.
  virtual void PurgeA() = 0;
  // slot 78, used: Purge; the decoder relies on no result.
  virtual void PurgeB() = 0;
  virtual void ReservedSlot79() {}  // slot 79
  // slot 80, used: Enable (the decoder passes true). May throw: the decoder then skips EnableB.
  virtual void EnableA(bool value) = 0;
  // slot 81, used: Enable (the decoder passes true). May throw.
  virtual void EnableB(bool value) = 0;

  virtual ~TDevicePort() = default;
};
