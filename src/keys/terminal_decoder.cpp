#include "keys/terminal_decoder.h"

#include <cstring>

#include "keys/virtual_keys.h"

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr uint32_t kAlt = kLeftAlt;
constexpr uint32_t kCtrl = kLeftCtrl;

// What the bytes at the front of the held input are.
enum class Parsed {
  kKey,        // one key, `length` bytes long
  kNeedMore,   // the start of a longer sequence, or of a character
  kSwallowed,  // `length` bytes that are no key: an unknown or broken sequence, a mouse report
};

struct ParseResult {
  Parsed what;
  size_t length;
  KeyRecord key;
};

ParseResult need_more() {
  return {Parsed::kNeedMore, 0, {}};
}

ParseResult swallowed(size_t length) {
  return {Parsed::kSwallowed, length, {}};
}

// A key-down record as a PC console queues it. An Alt key carries no character, so that the key
// table's Alt column decides its code.
ParseResult key(size_t length, uint16_t virtual_key, char character, uint32_t modifiers) {
  if (modifiers & kAlt) character = 0;
  return {Parsed::kKey, length, KeyRecord{true, true, virtual_key, character, modifiers}};
}

// The key behind one byte below 0x80, as a PC console reports it.
struct AsciiKey {
  uint16_t virtual_key;
  uint32_t modifiers;
  char character;
};

// Printable characters other than letters and digits, as keys of a US keyboard.
struct PunctuationKey {
  char character;
  uint16_t virtual_key;
  bool shifted;
};

// clang-format off
constexpr PunctuationKey kPunctuation[] = {
    {' ', kVkSpace, false},
    {')', '0', true},  {'!', '1', true},  {'@', '2', true},  {'#', '3', true},  {'$', '4', true},
    {'%', '5', true},  {'^', '6', true},  {'&', '7', true},  {'*', '8', true},  {'(', '9', true},
    {'\\', kVkBackslash, false},    {'|', kVkBackslash, true},
    {'/', kVkSlash, false},         {'?', kVkSlash, true},
    {'-', kVkMinus, false},         {'_', kVkMinus, true},
    {'=', kVkEquals, false},        {'+', kVkEquals, true},
    {'[', kVkLeftBracket, false},   {'{', kVkLeftBracket, true},
    {']', kVkRightBracket, false},  {'}', kVkRightBracket, true},
    {';', kVkSemicolon, false},     {':', kVkSemicolon, true},
    {'\'', kVkApostrophe, false},   {'"', kVkApostrophe, true},
    {',', kVkComma, false},         {'<', kVkComma, true},
    {'.', kVkPeriod, false},        {'>', kVkPeriod, true},
    {'`', kVkGrave, false},         {'~', kVkGrave, true},
};
// clang-format on

AsciiKey ascii_key(unsigned char b) {
  const char c = static_cast<char>(b);
  if (b == 0x00) return {kVkSpace, kCtrl, 0};
  if (b == 0x09) return {kVkTab, 0, c};
  if (b == 0x0D) return {kVkEnter, 0, c};
  if (b == kEsc) return {kVkEscape, 0, c};
  if (b <= 0x1A) return {static_cast<uint16_t>('A' - 1 + b), kCtrl, c};
  if (b == 0x1C) return {kVkBackslash, kCtrl, c};
  if (b == 0x1D) return {kVkRightBracket, kCtrl, c};
  if (b == 0x1E) return {'6', kCtrl, c};
  if (b == 0x1F) return {kVkMinus, kCtrl, c};
  if (b == 0x7F) return {kVkBackspace, 0, 0x08};  // delivered as a PC console does
  if (b >= 'a' && b <= 'z') return {static_cast<uint16_t>(b - 'a' + 'A'), 0, c};
  if (b >= 'A' && b <= 'Z') return {b, kShift, c};
  if (b >= '0' && b <= '9') return {b, 0, c};
  for (const PunctuationKey& key : kPunctuation) {
    if (key.character == c) return {key.virtual_key, key.shifted ? kShift : 0u, c};
  }
  return {kVkNone, 0, c};  // not reached: every byte below 0x80 is covered above
}

ParseResult ascii_key_result(size_t length, unsigned char b, uint32_t extra) {
  const AsciiKey ascii = ascii_key(b);
  return key(length, ascii.virtual_key, ascii.character, ascii.modifiers | extra);
}

// ---- The sequences: what introduces them, their final byte and number, and the key they name.

enum Introducers : uint8_t {
  kCsi = 1,  // ESC [
  kSs3 = 2,  // ESC O
  kCsiOrSs3 = kCsi | kSs3,
  kLinuxFunction = 4,  // ESC [ [, the Linux console's F1 to F5
};

// The terminals that send a row's sequence for its key.
enum Families : uint8_t {
  kXtermFamily = 1,  // xterm, VT220, rxvt and the terminals that copy them
  kLinuxFamily = 2,  // the Linux console
  kEveryFamily = kXtermFamily | kLinuxFamily,
};

// What may stand between the introducer and the final byte, in place of a row's number:
constexpr int kNoParameters = -1;  // nothing
constexpr int kModifierOnly = 0;   // nothing, `m` or `1;m`, where m is the modifier parameter
// A row number n: `n` or `n;m` (`CSI 15;2~` is Shift+F5).

// The key of a sequence that is known but stands for nothing the console would queue: a value
// that no virtual-key code has, kVkNone (a character of another keyboard) included.
constexpr uint16_t kNoKey = 0xFFFF;

struct SequenceRow {
  uint8_t introducers;
  unsigned char final_byte;
  int number;
  uint16_t virtual_key;  // kNoKey: the sequence is swallowed
  uint32_t modifiers;    // held by the key itself, besides those of the modifier parameter
  uint8_t families;
};

// The first row that fits a sequence names its key.
// clang-format off
constexpr SequenceRow kSequences[] = {
    // The cursor block, Home, End, the keypad centre and F1 to F4, after CSI and SS3 alike.
    {kCsiOrSs3,      'A', kModifierOnly, kVkUp,             0,      kEveryFamily},
    {kCsiOrSs3,      'B', kModifierOnly, kVkDown,           0,      kEveryFamily},
    {kCsiOrSs3,      'C', kModifierOnly, kVkRight,          0,      kEveryFamily},
    {kCsiOrSs3,      'D', kModifierOnly, kVkLeft,           0,      kEveryFamily},
    {kCsiOrSs3,      'H', kModifierOnly, kVkHome,           0,      kEveryFamily},
    {kCsiOrSs3,      'F', kModifierOnly, kVkEnd,            0,      kEveryFamily},
    {kCsiOrSs3,      'E', kModifierOnly, kVkClear,          0,      kEveryFamily},
    // Pause on the Linux console
    {kCsi,           'P', kNoParameters, kNoKey,            0,      kLinuxFamily},
    {kCsiOrSs3,      'P', kModifierOnly, kVkF1,             0,      kEveryFamily},
    {kCsiOrSs3,      'Q', kModifierOnly, kVkF2,             0,      kEveryFamily},
    {kCsiOrSs3,      'R', kModifierOnly, kVkF3,             0,      kEveryFamily},
    {kCsiOrSs3,      'S', kModifierOnly, kVkF4,             0,      kEveryFamily},
    // the keypad centre on the Linux console
    {kCsi,           'G', kModifierOnly, kVkClear,          0,      kEveryFamily},
    {kCsi,           'Z', kModifierOnly, kVkTab,            kShift, kEveryFamily},  // back-tab

    // rxvt: Shift+cursor keys after CSI, Ctrl+cursor keys after SS3.
    {kCsi,           'a', kNoParameters, kVkUp,             kShift, kEveryFamily},
    {kCsi,           'b', kNoParameters, kVkDown,           kShift, kEveryFamily},
    {kCsi,           'c', kNoParameters, kVkRight,          kShift, kEveryFamily},
    {kCsi,           'd', kNoParameters, kVkLeft,           kShift, kEveryFamily},
    {kSs3,           'a', kModifierOnly, kVkUp,             kCtrl,  kEveryFamily},
    {kSs3,           'b', kModifierOnly, kVkDown,           kCtrl,  kEveryFamily},
    {kSs3,           'c', kModifierOnly, kVkRight,          kCtrl,  kEveryFamily},
    {kSs3,           'd', kModifierOnly, kVkLeft,           kCtrl,  kEveryFamily},

    // The application keypad.
    {kSs3,           'p', kModifierOnly, kVkKeypad0,        0,      kEveryFamily},
    {kSs3,           'q', kModifierOnly, kVkKeypad0 + 1,    0,      kEveryFamily},
    {kSs3,           'r', kModifierOnly, kVkKeypad0 + 2,    0,      kEveryFamily},
    {kSs3,           's', kModifierOnly, kVkKeypad0 + 3,    0,      kEveryFamily},
    {kSs3,           't', kModifierOnly, kVkKeypad0 + 4,    0,      kEveryFamily},
    {kSs3,           'u', kModifierOnly, kVkKeypad0 + 5,    0,      kEveryFamily},
    {kSs3,           'v', kModifierOnly, kVkKeypad0 + 6,    0,      kEveryFamily},
    {kSs3,           'w', kModifierOnly, kVkKeypad0 + 7,    0,      kEveryFamily},
    {kSs3,           'x', kModifierOnly, kVkKeypad0 + 8,    0,      kEveryFamily},
    {kSs3,           'y', kModifierOnly, kVkKeypad0 + 9,    0,      kEveryFamily},
    {kSs3,           'j', kModifierOnly, kVkKeypadMultiply, 0,      kEveryFamily},
    {kSs3,           'k', kModifierOnly, kVkKeypadAdd,      0,      kEveryFamily},
    {kSs3,           'm', kModifierOnly, kVkKeypadSubtract, 0,      kEveryFamily},
    {kSs3,           'n', kModifierOnly, kVkKeypadDecimal,  0,      kEveryFamily},
    {kSs3,           'o', kModifierOnly, kVkKeypadDivide,   0,      kEveryFamily},
    {kSs3,           'M', kModifierOnly, kVkEnter,          0,      kEveryFamily},

    // The Linux console's F1 to F5.
    {kLinuxFunction, 'A', kNoParameters, kVkF1,             0,      kEveryFamily},
    {kLinuxFunction, 'B', kNoParameters, kVkF2,             0,      kEveryFamily},
    {kLinuxFunction, 'C', kNoParameters, kVkF3,             0,      kEveryFamily},
    {kLinuxFunction, 'D', kNoParameters, kVkF4,             0,      kEveryFamily},
    {kLinuxFunction, 'E', kNoParameters, kVkF5,             0,      kEveryFamily},

    // VT220, the Linux console and rxvt: the editing keys, Home and End (1 and 4; rxvt 7 and 8),
    // and the function keys (F1 to F4 as 11 to 14 from old xterms and rxvt).
    {kCsi,           '~', 1,             kVkHome,           0,      kEveryFamily},
    {kCsi,           '~', 2,             kVkInsert,         0,      kEveryFamily},
    {kCsi,           '~', 3,             kVkDelete,         0,      kEveryFamily},
    {kCsi,           '~', 4,             kVkEnd,            0,      kEveryFamily},
    {kCsi,           '~', 5,             kVkPageUp,         0,      kEveryFamily},
    {kCsi,           '~', 6,             kVkPageDown,       0,      kEveryFamily},
    {kCsi,           '~', 7,             kVkHome,           0,      kEveryFamily},
    {kCsi,           '~', 8,             kVkEnd,            0,      kEveryFamily},
    {kCsi,           '~', 11,            kVkF1,             0,      kEveryFamily},
    {kCsi,           '~', 12,            kVkF2,             0,      kEveryFamily},
    {kCsi,           '~', 13,            kVkF3,             0,      kEveryFamily},
    {kCsi,           '~', 14,            kVkF4,             0,      kEveryFamily},
    {kCsi,           '~', 15,            kVkF5,             0,      kEveryFamily},
    {kCsi,           '~', 17,            kVkF6,             0,      kEveryFamily},
    {kCsi,           '~', 18,            kVkF7,             0,      kEveryFamily},
    {kCsi,           '~', 19,            kVkF8,             0,      kEveryFamily},
    {kCsi,           '~', 20,            kVkF9,             0,      kEveryFamily},
    {kCsi,           '~', 21,            kVkF10,            0,      kEveryFamily},
    {kCsi,           '~', 23,            kVkF11,            0,      kEveryFamily},
    {kCsi,           '~', 24,            kVkF12,            0,      kEveryFamily},

    // Shifted function keys sent as higher ones. rxvt and the kernel's built-in console keymap
    // send Shift+F1 to F10 as F11 to F20 (23 to 34; 23 and 24 are F11 and F12 to xterm, and those
    // win); the keymaps distributions load on the Linux console send Shift+F1 to F8 as F13 to F20.
    {kCsi,           '~', 25,            kVkF3,             kShift, kXtermFamily},
    {kCsi,           '~', 26,            kVkF4,             kShift, kXtermFamily},
    {kCsi,           '~', 28,            kVkF5,             kShift, kXtermFamily},
    {kCsi,           '~', 29,            kVkF6,             kShift, kXtermFamily},
    {kCsi,           '~', 31,            kVkF7,             kShift, kXtermFamily},
    {kCsi,           '~', 32,            kVkF8,             kShift, kXtermFamily},
    {kCsi,           '~', 33,            kVkF9,             kShift, kXtermFamily},
    {kCsi,           '~', 34,            kVkF10,            kShift, kXtermFamily},
    {kCsi,           '~', 25,            kVkF1,             kShift, kLinuxFamily},
    {kCsi,           '~', 26,            kVkF2,             kShift, kLinuxFamily},
    {kCsi,           '~', 28,            kVkF3,             kShift, kLinuxFamily},
    {kCsi,           '~', 29,            kVkF4,             kShift, kLinuxFamily},
    {kCsi,           '~', 31,            kVkF5,             kShift, kLinuxFamily},
    {kCsi,           '~', 32,            kVkF6,             kShift, kLinuxFamily},
    {kCsi,           '~', 33,            kVkF7,             kShift, kLinuxFamily},
    {kCsi,           '~', 34,            kVkF8,             kShift, kLinuxFamily},
};
// clang-format on

uint8_t family_bit(TerminalFamily family) {
  return family == TerminalFamily::kLinuxConsole ? kLinuxFamily : kXtermFamily;
}

// The parameters of a sequence: at most two decimal numbers split by ';' (an empty one is 0).
struct Parameters {
  int count;
  int value[2];
};

bool parse_parameters(const unsigned char* p, size_t n, Parameters* parameters) {
  *parameters = {0, {0, 0}};
  if (n == 0) return true;
  parameters->count = 1;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = p[i];
    if (b == ';') {
      if (parameters->count == 2) return false;
      ++parameters->count;
    } else if (b >= '0' && b <= '9') {
      int& value = parameters->value[parameters->count - 1];
      if (value < 10000) value = value * 10 + (b - '0');  // no key number is that long
    } else {
      return false;  // private markers and sub-parameters belong to no key
    }
  }
  return true;
}

bool fits(const SequenceRow& row, const Parameters& parameters) {
  if (row.number == kNoParameters) return parameters.count == 0;
  if (row.number == kModifierOnly) return true;
  return parameters.count >= 1 && parameters.value[0] == row.number;
}

// The modifier parameter, 1 when there is none.
int modifier_parameter(const SequenceRow& row, const Parameters& parameters) {
  if (parameters.count == 2) return parameters.value[1];
  if (parameters.count == 1 && row.number == kModifierOnly) return parameters.value[0];
  return 1;
}

// The xterm modifier parameter: 1 + (Shift 1 | Alt 2 | Ctrl 4 | Meta 8); Meta counts as Alt.
uint32_t modifier_bits(int parameter) {
  if (parameter <= 1) return 0;
  const int bits = parameter - 1;
  uint32_t modifiers = 0;
  if (bits & 1) modifiers |= kShift;
  if (bits & (2 | 8)) modifiers |= kAlt;
  if (bits & 4) modifiers |= kCtrl;
  return modifiers;
}

// rxvt marks Shift with '$', Ctrl with '^' and both with '@' in place of the '~' of a numbered
// key, which then has no modifier parameter.
uint32_t rxvt_mark(unsigned char* final_byte, const Parameters& parameters) {
  if (parameters.count != 1) return 0;
  uint32_t modifiers = 0;
  if (*final_byte == '$') modifiers = kShift;
  if (*final_byte == '^') modifiers = kCtrl;
  if (*final_byte == '@') modifiers = kShift | kCtrl;
  if (modifiers != 0) *final_byte = '~';
  return modifiers;
}

// The key of a complete sequence `length` bytes long, or nothing when no row fits it.
ParseResult sequence_key(TerminalFamily family, Introducers introducer, unsigned char final_byte,
                         const Parameters& parameters, size_t length, uint32_t extra) {
  const uint32_t marked = rxvt_mark(&final_byte, parameters);
  for (const SequenceRow& row : kSequences) {
    if ((row.introducers & introducer) == 0 || row.final_byte != final_byte ||
        (row.families & family_bit(family)) == 0 || !fits(row, parameters)) {
      continue;
    }
    if (row.virtual_key == kNoKey) return swallowed(length);
    const uint32_t modifiers =
        row.modifiers | marked | modifier_bits(modifier_parameter(row, parameters)) | extra;
    return key(length, row.virtual_key, 0, modifiers);
  }
  return swallowed(length);
}

// ---- Scanning the held bytes.

bool continues_sequence(unsigned char b) {
  return b >= 0x20 && b <= 0x7E;
}

// An X10 mouse report: `ESC [ M` and three bytes of button and position, which may be any bytes.
constexpr size_t kX10MouseReportLength = 6;

// `ESC [` or `ESC O` and what follows. With `force` the bytes are taken as they stand.
ParseResult parse_sequence(TerminalFamily family, const unsigned char* p, size_t n, bool force,
                           uint32_t extra) {
  const Introducers introducer = p[1] == 'O' ? kSs3 : kCsi;
  // Alone (or before a byte that cannot continue it) it was Alt with '[' or 'O'.
  if (n == 2 && !force) return need_more();
  if (n == 2 || !continues_sequence(p[2])) return ascii_key_result(2, p[1], kAlt | extra);
  if (introducer == kCsi && p[2] == 'M') {  // a mouse report left switched on by an earlier program
    if (n < kX10MouseReportLength) return force ? swallowed(n) : need_more();
    return swallowed(kX10MouseReportLength);
  }
  if (introducer == kCsi && p[2] == '[') {
    if (n == 3) return force ? swallowed(3) : need_more();
    if (!continues_sequence(p[3])) return swallowed(3);
    return sequence_key(family, kLinuxFunction, p[3], Parameters{0, {0, 0}}, 4, extra);
  }
  // Parameter and intermediate bytes, then a final byte. rxvt's '$' (an intermediate byte by
  // the rules) ends a sequence of plain digits.
  size_t i = 2;
  bool digits_only = true;
  while (i < n) {
    const unsigned char b = p[i];
    if (b == '$' && digits_only) break;
    if (b < 0x20 || b > 0x3F) break;
    if (b < '0' || b > '9') digits_only = false;
    ++i;
  }
  if (i == n) return force ? swallowed(n) : need_more();
  const unsigned char final_byte = p[i];
  if (!(final_byte >= 0x40 && final_byte <= 0x7E) && final_byte != '$') {
    return swallowed(i);  // broken by a byte that cannot belong to it
  }
  // Intermediate bytes and private markers belong to no key: parse_parameters refuses them.
  Parameters parameters;
  if (!parse_parameters(p + 2, i - 2, &parameters)) return swallowed(i + 1);
  return sequence_key(family, introducer, final_byte, parameters, i + 1, extra);
}

// One UTF-8 character (or a stray byte of one): a key without a table row, its first byte as
// the character.
ParseResult parse_non_ascii(const unsigned char* p, size_t n, bool force, uint32_t extra) {
  const unsigned char lead = p[0];
  size_t length = 1;
  if (lead >= 0xC0 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF7) length = 4;
  size_t i = 1;
  while (i < length && i < n && (p[i] & 0xC0) == 0x80) ++i;
  if (i < length && i == n && !force) return need_more();
  return key(i, kVkNone, static_cast<char>(lead), extra);
}

// Adds the ESC in front to what follows it.
ParseResult after_escape(ParseResult result) {
  if (result.what != Parsed::kNeedMore) ++result.length;
  return result;
}

ParseResult parse_escape(TerminalFamily family, const unsigned char* p, size_t n, bool force,
                         uint32_t extra) {
  if (n == 1) return force ? ascii_key_result(1, kEsc, extra) : need_more();
  const unsigned char c = p[1];
  if (c == '[' || c == 'O') return parse_sequence(family, p, n, force, extra);
  if (c == kEsc) {
    // ESC before a whole sequence is Alt with that key; otherwise ESC ESC is Alt+Esc.
    if (n == 2 && !force) return need_more();
    if (n > 2 && (p[2] == '[' || p[2] == 'O')) {
      return after_escape(parse_escape(family, p + 1, n - 1, force, kAlt | extra));
    }
    return ascii_key_result(2, kEsc, kAlt | extra);
  }
  if (c < 0x80) return ascii_key_result(2, c, kAlt | extra);
  return after_escape(parse_non_ascii(p + 1, n - 1, force, kAlt | extra));
}

// What the bytes p[0..n) start with; with `force`, never kNeedMore.
ParseResult parse(TerminalFamily family, const unsigned char* p, size_t n, bool force) {
  if (p[0] == kEsc) return parse_escape(family, p, n, force, 0);
  if (p[0] < 0x80) return ascii_key_result(1, p[0], 0);
  return parse_non_ascii(p, n, force, 0);
}

void drain(TerminalDecoder* decoder, bool force, KeySink* out) {
  while (decoder->held_count > 0) {
    const ParseResult result = parse(decoder->family, decoder->held, decoder->held_count, force);
    if (result.what == Parsed::kNeedMore) return;
    if (result.what == Parsed::kKey) out->put(out->context, result.key);
    decoder->held_count -= result.length;
    std::memmove(decoder->held, decoder->held + result.length, decoder->held_count);
  }
}

}  // namespace

TerminalFamily terminal_family_of(const char* term) {
  if (term == nullptr) return TerminalFamily::kXterm;
  const bool linux_console =
      std::strncmp(term, "linux", 5) == 0 && (term[5] == '\0' || term[5] == '-');
  return linux_console ? TerminalFamily::kLinuxConsole : TerminalFamily::kXterm;
}

bool terminal_decoder_waiting(const TerminalDecoder& decoder, int64_t* deadline_ms) {
  if (decoder.held_count == 0 && !decoder.skipping) return false;
  *deadline_ms = decoder.deadline_ms;
  return true;
}

void terminal_decoder_expire(TerminalDecoder* decoder, int64_t now_ms, KeySink* out) {
  int64_t deadline = 0;
  if (!terminal_decoder_waiting(*decoder, &deadline) || now_ms < deadline) return;
  decoder->skipping = false;
  drain(decoder, true, out);
}

void terminal_decoder_feed(TerminalDecoder* decoder, const unsigned char* bytes, size_t count,
                           int64_t now_ms, KeySink* out) {
  terminal_decoder_expire(decoder, now_ms, out);
  // Byte by byte, so that where the input was split can never change the result.
  for (size_t i = 0; i < count; ++i) {
    const unsigned char b = bytes[i];
    if (decoder->skipping) {
      if (b >= 0x20 && b <= 0x3F) continue;
      decoder->skipping = false;
      if (b >= 0x40 && b <= 0x7E) continue;  // the dropped sequence's final byte
    }
    decoder->held[decoder->held_count++] = b;
    drain(decoder, false, out);
    if (decoder->held_count == kTerminalHeldMax) {
      // Only a sequence with a very long parameter list gets here: drop it, and its rest.
      decoder->held_count = 0;
      decoder->skipping = true;
    }
  }
  if (count > 0) decoder->deadline_ms = now_ms + kEscapeWaitMs;
}
