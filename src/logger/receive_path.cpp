#include "logger/receive_path.h"

#include <cstring>

#include "logger/decimal_prefix.h"

namespace {

// The last place of the line buffer is kept for the LF of a line that does not fit.
constexpr size_t kLongestHead = kLineBufferSize - 2;

}  // namespace

void start_receiving(Receiver* receiver) {
  drop_unfinished_line(receiver);
  receiver->reading = 0;
}

void drop_unfinished_line(Receiver* receiver) {
  receiver->line[0] = '\0';
  receiver->line_length = 0;
}

size_t receive_bytes(Receiver* receiver, MeasurementLog* log, const char* bytes, size_t count,
                     char* echo) {
  size_t echoed = 0;
  for (size_t i = 0; i < count; ++i) {
    const char byte = bytes[i];
    if (byte == '\0') continue;
    if (byte != '\n' && receiver->line_length >= kLongestHead) continue;
    receiver->line[receiver->line_length++] = byte;
    if (byte != '\n') continue;
    receiver->line[receiver->line_length] = '\0';
    scan_decimal_prefix(receiver->line, &receiver->reading);
    append_reading(log, receiver->reading);
    std::memcpy(echo + echoed, receiver->line, receiver->line_length);
    echoed += receiver->line_length;
    receiver->line_length = 0;
  }
  receiver->line[receiver->line_length] = '\0';
  return echoed;
}
