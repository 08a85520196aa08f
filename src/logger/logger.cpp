#include "logger/logger.h"

#include <cstdint>
#include <cstring>

#include "logger/decimal_prefix.h"
#include "logger/measurement_log.h"
#include "logger/port_selection.h"
#include "logger/receive_path.h"
#include "platform/console_input.h"
#include "platform/console_output.h"
#include "platform/process.h"
#include "platform/serial_port.h"

namespace {

// The port messages are Shift_JIS (CP932) bytes, written as they stand on any console.
constexpr char kPortWord[] = "\x83\x7C\x81\x5B\x83\x67";  // "port"
constexpr char kCannotBeOpened[] = "\x82\xCD\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\n";
constexpr char kWasOpened[] =
    "\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD\n";
constexpr char kSettingsRefused[] =
    "DCB\x82\xCC\x83\x5A\x83\x62\x83\x67\x82\xC5\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\n";

bool is_quit_code(int code) {
  return code == 'E' || code == 'Q' || code == 'X' || code == 'e' || code == 'q' || code == 'x';
}

void print_port_message(const char* device_path, const char* outcome) {
  console_print(kPortWord);
  console_print(device_path);
  console_print(outcome);
}

}  // namespace

int run_logger(int argc, char** argv) {
  char device_path[kDevicePathSize];
  const int32_t port_number = port_number_from_arguments(argc, argv);
  format_device_path(port_number, device_path);

  SerialPort* port = serial_open(port_number, device_path);
  if (port == nullptr) {
    print_port_message(device_path, kCannotBeOpened);
    return -1;
  }
  print_port_message(device_path, kWasOpened);
  if (!serial_configure(port)) {
    console_print(kSettingsRefused);
    // Every early end releases the port, as the end of a run does.
    serial_close(port);
    return -1;
  }
  serial_purge(port);
  console_print("running ");
  console_print(argv[0]);
  console_print("\n");

  // A request to end that came while the port was opening (a slow one, such as an outgoing
  // Bluetooth port, can take seconds) ends the run here, before the previous test.dat is emptied.
  if (interrupt_requested()) {
    serial_close(port);
    return 0;
  }
  if (!open_measurement_log()) {
    console_print("cannot open ");
    console_print(kMeasurementLogName);
    console_print("\n");
    serial_close(port);
    return 1;
  }
  Receiver receiver;
  start_receiving(&receiver);
  console_print("running\n");

  char received[kMostBytesPerRead];
  char echo[kEchoSize];
  for (;;) {
    uint32_t queued = serial_poll(port);
    if (queued > 0) {
      // Whatever does not fit stays queued for the next turn.
      if (queued > kMostBytesPerRead) queued = kMostBytesPerRead;
      const uint32_t got = serial_read(port, received, queued);
      const size_t echo_length = receive_bytes(&receiver, received, got, echo);
      if (echo_length > 0) console_write(echo, echo_length);
    }
    if (interrupt_requested()) break;
    if (key_pending() != 0) {
      const int code = read_key();
      if (is_quit_code(code)) break;
      console_print("running\n");
    }
  }
  serial_close(port);
  close_measurement_log();
  return 0;
}
