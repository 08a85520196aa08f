// The serial port, receive-only: opened exclusively and quietly with DTR and RTS lowered, set to
// 115200 8N1 with no flow control, then polled for queued bytes and read without ever waiting.
// One port at a time; `context` is the platform's own.
#pragma once

#include <cstdint>

#include "common/port_names.h"

struct SerialPortService {
  void* context;
  // Opens the port, COM n or a device file; false when the port is missing, busy or cannot be
  // opened. Nothing is echoed to the device from then on, and DTR and RTS are lowered at once
  // where the port has them.
  bool (*open)(void* context, PortName port);
  // Applies the fixed line settings; false when the driver refuses them.
  bool (*configure)(void* context);
  // Discards every byte received so far.
  void (*purge)(void* context);
  // The number of received bytes waiting, 0 when the port cannot tell. False when the port has
  // gone: a USB adapter pulled out, a Bluetooth link dropped, a terminal hung up.
  bool (*poll)(void* context, uint32_t* queued);
  // Reads up to `count` bytes that are already waiting, *got of them. False when the port is gone.
  bool (*read)(void* context, char* buffer, uint32_t count, uint32_t* got);
  void (*close)(void* context);
  // Why the last open failed, in the system's words, naming what the platform tried to open
  // ("/dev/ttyS98: No such file or directory"); null when the platform has nothing to add.
  const char* (*why_not_opened)(void* context);
  // Whether a port may be named by its device file ("/dev/ttyUSB0"), as on Linux; elsewhere every
  // port is COM n.
  bool device_files;
  // Why the last configure failed, in the system's words, naming what was opened ("/dev/null:
  // not a serial port ..."); null when the platform has nothing to add.
  const char* (*why_settings_refused)(void* context);
  // The device file behind the port last opened or tried (COM5's "/dev/ttyS4"), for the
  // operator's words; null where ports have no file of their own.
  const char* (*device_file)(void* context);
};

SerialPortService system_serial_port();
