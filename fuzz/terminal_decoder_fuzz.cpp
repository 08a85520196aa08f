// libFuzzer target: the terminal decoder fed any bytes, split anywhere, at any clock.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "terminal_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TerminalDecoder decoder;
  std::vector<KeyRecord> out;
  int64_t now = 0;
  size_t i = 0;
  // Each chunk: a length byte, a clock step byte, then up to that many terminal bytes.
  while (i + 2 <= size) {
    size_t length = data[i] % 40;
    now += data[i + 1];
    i += 2;
    if (length > size - i) length = size - i;
    terminal_decoder_feed(&decoder, data + i, length, now, &out);
    i += length;
    if (decoder.held_count >= kTerminalHeldMax) std::abort();  // the hold never fills
  }
  terminal_decoder_expire(&decoder, now + kEscapeWaitMs, &out);
  int64_t deadline = 0;
  // Past the deadline nothing may stay held.
  if (terminal_decoder_waiting(decoder, &deadline) && decoder.held_count > 0) std::abort();
  for (const KeyRecord& record : out) {
    if (!record.key_down) std::abort();  // the decoder queues key-downs only
  }
  return 0;
}
