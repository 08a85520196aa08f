// The serial port, receive-only: opened exclusively and quietly, set to 115200 8N1 with no flow
// control and DTR and RTS off, then polled for queued bytes and read without ever waiting. One
// port at a time; `context` is the platform's own.
#pragma once

#include <cstdint>

struct SerialPortService {
  void* context;
  // Opens COM `port_number`; false when the port is missing, busy or cannot be opened.
  bool (*open)(void* context, int32_t port_number);
  // Applies the fixed line settings; false when the driver refuses them.
  bool (*configure)(void* context);
  // Discards every byte received so far.
  void (*purge)(void* context);
  // The number of received bytes waiting; 0 when the port cannot tell.
  uint32_t (*poll)(void* context);
  // Reads up to `count` bytes that are already waiting; returns how many arrived.
  uint32_t (*read)(void* context, char* buffer, uint32_t count);
  void (*close)(void* context);
};

SerialPortService system_serial_port();
