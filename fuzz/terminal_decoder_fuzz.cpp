// libFuzzer target: the terminal decoder fed any bytes, split anywhere, at any clock. Besides not
// crashing it must consume every byte: nothing stays held once the wait is over, a plain byte
// fed to an idle decoder is exactly one key, and a whole key sequence fed to an idle decoder is
// exactly one key with no character, never records of the bytes it was made of.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoded_keys.h"
#include "keys/terminal_decoder.h"

namespace {

const char* const kSequences[] = {
    "\033[A",    "\033[D",    "\033[H",     "\033OF",    "\033OP",    "\033[3~",
    "\033[6~",   "\033[15~",  "\033[24~",   "\033[[A",   "\033[1;5A", "\033[15;2~",
    "\033[1;3P", "\033[5;7~", "\033[21;3~", "\033[1;8D",
};
static_assert(sizeof kSequences / sizeof kSequences[0] == 16, "one sequence per kind byte");

bool idle(const TerminalDecoder& decoder) {
  int64_t deadline = 0;
  return !terminal_decoder_waiting(decoder, &deadline);
}

// The character a plain byte's key carries: Ctrl+2 has none, DEL arrives as Backspace.
char plain_character(unsigned char byte) {
  if (byte == 0x7F) return 0x08;
  return char(byte);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TerminalDecoder decoder;
  std::vector<KeyRecord> out;
  int64_t now = 0;
  size_t i = 0;
  // Each chunk: a kind-and-length byte, a clock step byte, then that many terminal bytes, or for
  // a kind of 0xF0 and above, one whole sequence of the table.
  while (i + 2 <= size) {
    const uint8_t kind = data[i];
    now += data[i + 1];
    i += 2;
    const bool was_idle = idle(decoder);
    const size_t before = out.size();
    if (kind >= 0xF0) {
      const char* sequence = kSequences[kind - 0xF0];
      feed_into(&decoder, reinterpret_cast<const unsigned char*>(sequence), std::strlen(sequence),
                now, &out);
      if (was_idle && (out.size() != before + 1 || out.back().character != 0 || !idle(decoder))) {
        std::abort();
      }
      continue;
    }
    size_t length = kind % 40;
    if (length > size - i) length = size - i;
    feed_into(&decoder, data + i, length, now, &out);
    bool plain = true;
    for (size_t k = 0; k < length; ++k) plain &= data[i + k] < 0x80 && data[i + k] != 0x1B;
    if (was_idle && plain) {
      if (out.size() != before + length || !idle(decoder)) std::abort();
      for (size_t k = 0; k < length; ++k) {
        if (out[before + k].character != plain_character(data[i + k])) std::abort();
      }
    }
    i += length;
    if (decoder.held_count >= kTerminalHeldMax) std::abort();  // the hold never fills
  }
  expire_into(&decoder, now + kEscapeWaitMs, &out);
  // Past the deadline nothing may stay held.
  if (!idle(decoder)) std::abort();
  for (const KeyRecord& record : out) {
    if (!record.key_down) std::abort();  // the decoder queues key-downs only
  }
  return 0;
}
