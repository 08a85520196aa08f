// The serial port on Windows: the eight communications calls the logger needs, nothing more.
#include <windows.h>

#include <cstdio>

#include "common/port_failures.h"
#include "common/port_names.h"
#include "platform/serial_port.h"
#include "platform/system_words_win32.h"

namespace {

struct Port {
  HANDLE handle;
  // What the last open tried and why it failed, put into words only when asked, since a port
  // that has gone is tried again and again.
  char device_path[kDevicePathSize];
  DWORD open_error;
  char why_not_opened[512];
  DWORD configure_error;  // of the last SetCommState refused
  char why_settings_refused[512];
  PortFailures failures;  // of polls and reads, in a row
};
Port g_port = {INVALID_HANDLE_VALUE, "", 0, "", 0, "", {0}};

constexpr char kModeString[] = "baud=115200 parity=N data=8 stop=1 dtr=off rts=off";
// PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXABORT; PURGE_TXCLEAR is not asked for.
constexpr DWORD kPurgeFlags = PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXABORT;
static_assert(kPurgeFlags == 0x0B, "the purge clears input and aborts reads and writes: 0x0B");

HANDLE handle_of(void* context) {
  return static_cast<Port*>(context)->handle;
}

// Every port is COM n here: the service says it takes no device files.
bool open_port(void* context, PortName name) {
  Port* port = static_cast<Port*>(context);
  format_device_path(name.number, port->device_path);
  // Exclusive (share mode 0), synchronous (flags 0): a port that another program holds fails.
  port->handle = CreateFileA(port->device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  port->open_error = port->handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  port->configure_error = 0;
  port_worked(&port->failures);
  return port->handle != INVALID_HANDLE_VALUE;
}

bool configure(void* context) {
  DCB settings = {};
  settings.DCBlength = sizeof settings;
  // The driver's settings are the base; the mode string changes only what it names (and turns
  // XON/XOFF and hardware flow control off). Both results are ignored: only the write of the
  // settings is checked.
  GetCommState(handle_of(context), &settings);
  BuildCommDCBA(kModeString, &settings);
  // Said once more for conversions that keep the driver's flow control (Wine's keeps XON/XOFF,
  // which would swallow the bytes 0x11 and 0x13 of a reading).
  settings.fOutX = FALSE;
  settings.fInX = FALSE;
  settings.fOutxCtsFlow = FALSE;
  settings.fOutxDsrFlow = FALSE;
  if (SetCommState(handle_of(context), &settings) != 0) return true;
  static_cast<Port*>(context)->configure_error = GetLastError();
  return false;
}

void purge(void* context) {
  PurgeComm(handle_of(context), kPurgeFlags);
}

// The errors a port gives once its device has gone: a USB adapter pulled out, a Bluetooth link
// dropped. Any other failure is taken as nothing queued for now, until it keeps coming.
bool means_gone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
      return true;
    default:
      return false;
  }
}

// Whether the port is still there after a poll or a read that `worked` or not.
bool still_there(void* context, bool worked) {
  PortFailures* failures = &static_cast<Port*>(context)->failures;
  if (worked) {
    port_worked(failures);
    return true;
  }
  return !port_failed(failures, means_gone(GetLastError()));
}

bool poll_port(void* context, uint32_t* queued) {
  DWORD errors = 0;
  COMSTAT status = {};
  // Also clears a line-error condition, so that reception goes on.
  const bool worked = ClearCommError(handle_of(context), &errors, &status) != 0;
  *queued = worked ? status.cbInQue : 0;
  return still_there(context, worked);
}

bool read_port(void* context, char* buffer, uint32_t count, uint32_t* got) {
  DWORD taken = 0;
  // The bytes are queued already, so this returns at once; no time-outs are ever set.
  const bool worked = ReadFile(handle_of(context), buffer, count, &taken, nullptr) != 0;
  *got = taken <= count ? taken : 0;
  return still_there(context, worked);
}

void close_port(void* context) {
  CloseHandle(handle_of(context));
  static_cast<Port*>(context)->handle = INVALID_HANDLE_VALUE;
}

// The system's words for why the last open failed; a port held by another program is refused as
// access denied, which the words alone do not tell.
const char* why_not_opened(void* context) {
  Port* port = static_cast<Port*>(context);
  if (port->open_error == 0) return nullptr;
  char words[256];
  system_words(port->open_error, words, sizeof words);
  std::snprintf(
      port->why_not_opened, sizeof port->why_not_opened, "%s: %s%s", port->device_path, words,
      port->open_error == ERROR_ACCESS_DENIED ? " (another program may have it open)" : "");
  return port->why_not_opened;
}

// The system's words for the refusal; a device that is no serial port answers the settings'
// calls as a function it does not have.
const char* why_settings_refused(void* context) {
  Port* port = static_cast<Port*>(context);
  const DWORD error = port->configure_error;
  if (error == 0) return nullptr;
  char words[256];
  system_words(error, words, sizeof words);
  const bool no_serial_port = error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                              error == ERROR_INVALID_HANDLE;
  std::snprintf(port->why_settings_refused, sizeof port->why_settings_refused,
                no_serial_port ? "%s: not a serial port (%s)" : "%s: %s", port->device_path, words);
  return port->why_settings_refused;
}

// A COM port has no file of its own here: its device path is its name.
const char* device_file(void*) {
  return nullptr;
}

}  // namespace

SerialPortService system_serial_port() {
  return SerialPortService{&g_port,
                           open_port,
                           configure,
                           purge,
                           poll_port,
                           read_port,
                           close_port,
                           why_not_opened,
                           /*device_files=*/false,
                           why_settings_refused,
                           device_file};
}
