// The serial port on Windows: the eight communications calls the logger needs, nothing more.
#include <windows.h>

#include "platform/serial_port.h"

struct SerialPort {
  HANDLE handle;
};

namespace {

constexpr char kModeString[] = "baud=115200 parity=N data=8 stop=1 dtr=off rts=off";
// PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXABORT; PURGE_TXCLEAR is not asked for.
constexpr DWORD kPurgeFlags = PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXABORT;
static_assert(kPurgeFlags == 0x0B, "the purge clears input and aborts reads and writes: 0x0B");

}  // namespace

SerialPort* serial_open(int32_t /*port_number*/, const char* device_path) {
  // Exclusive (share mode 0), synchronous (flags 0): a port that another program holds fails.
  const HANDLE handle =
      CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return new SerialPort{handle};
}

bool serial_configure(SerialPort* port) {
  DCB settings = {};
  settings.DCBlength = sizeof settings;
  // The driver's settings are the base; the mode string changes only what it names (and turns
  // XON/XOFF and hardware flow control off). Both results are ignored: only the write of the
  // settings is checked.
  GetCommState(port->handle, &settings);
  BuildCommDCBA(kModeString, &settings);
  // Said once more for conversions that keep the driver's flow control (Wine's keeps XON/XOFF,
  // which would swallow the bytes 0x11 and 0x13 of a reading).
  settings.fOutX = FALSE;
  settings.fInX = FALSE;
  settings.fOutxCtsFlow = FALSE;
  settings.fOutxDsrFlow = FALSE;
  return SetCommState(port->handle, &settings) != 0;
}

void serial_purge(SerialPort* port) {
  PurgeComm(port->handle, kPurgeFlags);
}

uint32_t serial_poll(SerialPort* port) {
  DWORD errors = 0;
  COMSTAT status = {};
  // Also clears a line-error condition, so that reception goes on.
  if (!ClearCommError(port->handle, &errors, &status)) return 0;
  return status.cbInQue;
}

uint32_t serial_read(SerialPort* port, char* buffer, uint32_t count) {
  DWORD got = 0;
  // The bytes are queued already, so this returns at once; no time-outs are ever set.
  ReadFile(port->handle, buffer, count, &got, nullptr);
  return got <= count ? got : 0;
}

void serial_close(SerialPort* port) {
  CloseHandle(port->handle);
  delete port;
}
