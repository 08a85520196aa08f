// The serial port, receive-only: opened exclusively, set to 115200 8N1 with no flow control and
// DTR and RTS off, then polled for queued bytes and read without ever waiting.
#pragma once

#include <cstdint>

struct SerialPort;

// Opens the port numbered `port_number`, whose device path is `device_path` ("\\.\COM5").
// Null when the port is missing, busy or cannot be opened.
SerialPort* serial_open(int32_t port_number, const char* device_path);

// Applies the fixed line settings; false when the driver refuses them.
bool serial_configure(SerialPort* port);

// Discards every byte received so far.
void serial_purge(SerialPort* port);

// The number of received bytes waiting; 0 when the port cannot tell.
uint32_t serial_poll(SerialPort* port);

// Reads up to `count` bytes that are already waiting; returns how many arrived.
uint32_t serial_read(SerialPort* port, char* buffer, uint32_t count);

void serial_close(SerialPort* port);
