// Turns the bytes a terminal sends for key presses into key records, as a PC console would have
// queued them. Pure: the bytes and the time (milliseconds of any steady clock) come in, records
// go out; nothing else is read or changed.
//
// Each key yields one key-down record (no releases). Special keys carry no character; Alt keys
// (ESC before a key) carry none either, so the key table's Alt column applies. A UTF-8 character
// is one record with virtual-key code 0, which has no table row, and its first byte as character.
// Unknown or broken sequences, and mouse reports, are swallowed whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keys/key_codes.h"

// Where terminals send the same bytes for different keys, the decoder follows the family that
// the terminal's name (TERM) belongs to.
enum class TerminalFamily {
  // xterm, VT220, rxvt and the terminals that copy them: Shift+F1 to F10 may come as F11 to F20.
  kXterm,
  // The Linux console with the keymaps distributions load: Shift+F1 to F8 come as F13 to F20,
  // and `ESC [ P` is Pause.
  kLinuxConsole,
};

TerminalFamily terminal_family_of(const char* term);

// How long an ESC (or a started sequence) waits for the bytes that would continue it.
constexpr int64_t kEscapeWaitMs = 50;
// The most bytes held while a sequence is incomplete; a longer one is dropped.
constexpr size_t kTerminalHeldMax = 32;

struct TerminalDecoder {
  TerminalFamily family = TerminalFamily::kXterm;
  unsigned char held[kTerminalHeldMax] = {};
  size_t held_count = 0;
  // Dropping the rest of an over-long sequence, up to and including its final byte.
  bool skipping = false;
  // When the held bytes are forced out (or skipping ends); meaningful while waiting.
  int64_t deadline_ms = 0;
};

// Where the decoder puts the records it makes, one at a time, in order.
struct KeySink {
  void* context;
  void (*put)(void* context, const KeyRecord& record);
};

// Decodes `count` bytes that arrived at `now_ms`, putting the records of every complete key into
// `out`; never more records than bytes, plus the bytes held before. Held bytes whose deadline has
// passed are forced out first.
void terminal_decoder_feed(TerminalDecoder* decoder, const unsigned char* bytes, size_t count,
                           int64_t now_ms, KeySink* out);

// Forces out what is held once its deadline has passed: ESC alone becomes Esc, `ESC [` Alt+[,
// `ESC O` Alt+O, a cut-off UTF-8 character its record; any other incomplete sequence yields
// nothing.
void terminal_decoder_expire(TerminalDecoder* decoder, int64_t now_ms, KeySink* out);

// True while bytes are held for more input; *deadline_ms is then when they will be forced out.
bool terminal_decoder_waiting(const TerminalDecoder& decoder, int64_t* deadline_ms);
