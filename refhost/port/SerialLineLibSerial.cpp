// Real serial devices (USB adapters, on-board UARTs) through libserialport.
#include <libserialport.h>
#include <sys/stat.h>

#include <cerrno>

#include "refhost/port/SerialDevicePort.h"
#include "refhost/port/SerialLine.h"

namespace {

class TLibSerialLine final : public TSerialLine {
 public:
  TLibSerialLine(sp_port* port, std::string path) : Port(port), Path(std::move(path)) {}
  ~TLibSerialLine() override {
    sp_close(Port);
    sp_free_port(Port);
  }

  int Handle() const override {
    int fd = -1;
    sp_get_port_handle(Port, &fd);
    return fd;
  }

  size_t ReadAvailable(uint8_t* buffer, size_t size) override {
    const sp_return n = sp_nonblocking_read(Port, buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    throw EPortLost(Path + ": the device stopped answering (" + Why() + "); was it unplugged?");
  }

  void WriteAll(const uint8_t* data, size_t count, int timeoutMs) override {
    const sp_return n = sp_blocking_write(Port, data, count, static_cast<unsigned>(timeoutMs));
    if (n < 0) throw EPortLost(Path + ": writing failed (" + Why() + "); was it unplugged?");
    if (static_cast<size_t>(n) < count)
      throw EPortError(Path + ": the handset took no bytes for " + std::to_string(timeoutMs) +
                       " ms; check the cable and the handset's flow control");
  }

  void SetBaudRate(int baud) override { Check(sp_set_baudrate(Port, baud), "set the baud rate"); }
  void SetDtr(bool on) override { Check(sp_set_dtr(Port, on ? SP_DTR_ON : SP_DTR_OFF), "set DTR"); }
  void SetRts(bool on) override { Check(sp_set_rts(Port, on ? SP_RTS_ON : SP_RTS_OFF), "set RTS"); }
  void Flush(bool input, bool output) override {
    const int which = (input ? SP_BUF_INPUT : 0) | (output ? SP_BUF_OUTPUT : 0);
    Check(sp_flush(Port, static_cast<sp_buffer>(which)), "flush");
  }

  void Configure() {
    Check(sp_set_bits(Port, 8), "set 8 data bits");
    Check(sp_set_parity(Port, SP_PARITY_NONE), "set no parity");
    Check(sp_set_stopbits(Port, 1), "set 1 stop bit");
    Check(sp_set_flowcontrol(Port, SP_FLOWCONTROL_NONE), "switch flow control off");
  }

 private:
  static std::string Why() {
    char* text = sp_last_error_message();
    std::string why = text != nullptr ? text : "unknown error";
    sp_free_error_message(text);
    return why;
  }
  void Check(sp_return r, const char* what) {
    if (r < 0) throw EPortError(Path + ": cannot " + what + " (" + Why() + ")");
  }

  sp_port* Port;
  std::string Path;
};

}  // namespace

std::unique_ptr<TSerialLine> OpenLibSerialLine(const std::string& path) {
  sp_port* port = nullptr;
  if (sp_get_port_by_name(path.c_str(), &port) != SP_OK) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) ThrowOpenError(path, errno);
    throw EPortError(path + " is not a serial device: name the handset's port, e.g. /dev/ttyUSB0");
  }
  if (sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
    const int code = sp_last_error_code();
    sp_free_port(port);
    ThrowOpenError(path, code);
  }
  auto line = std::make_unique<TLibSerialLine>(port, path);  // closes and frees from here on
  LockLine(line->Handle(), path);
  line->Configure();
  return line;
}
