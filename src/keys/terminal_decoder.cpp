#include "keys/terminal_decoder.h"

#include <cstring>

namespace {

constexpr unsigned char kEsc = 0x1B;

// Virtual-key codes of the keys a terminal sends as sequences.
constexpr uint16_t kVkTab = 0x09;
constexpr uint16_t kVkClear = 0x0C;  // keypad centre without Num Lock; it has no table row
constexpr uint16_t kVkEnter = 0x0D;
constexpr uint16_t kVkEsc = 0x1B;
constexpr uint16_t kVkSpace = 0x20;
constexpr uint16_t kVkPageUp = 0x21;
constexpr uint16_t kVkPageDown = 0x22;
constexpr uint16_t kVkEnd = 0x23;
constexpr uint16_t kVkHome = 0x24;
constexpr uint16_t kVkLeft = 0x25;
constexpr uint16_t kVkUp = 0x26;
constexpr uint16_t kVkRight = 0x27;
constexpr uint16_t kVkDown = 0x28;
constexpr uint16_t kVkInsert = 0x2D;
constexpr uint16_t kVkDelete = 0x2E;
constexpr uint16_t kVkKeypad0 = 0x60;
constexpr uint16_t kVkF1 = 0x70;
constexpr uint16_t kVkF2 = 0x71;
constexpr uint16_t kVkF3 = 0x72;
constexpr uint16_t kVkF4 = 0x73;
constexpr uint16_t kVkF5 = 0x74;
constexpr uint16_t kVkF6 = 0x75;
constexpr uint16_t kVkF7 = 0x76;
constexpr uint16_t kVkF8 = 0x77;
constexpr uint16_t kVkF9 = 0x78;
constexpr uint16_t kVkF10 = 0x79;
constexpr uint16_t kVkF11 = 0x7A;
constexpr uint16_t kVkF12 = 0x7B;
constexpr uint16_t kVkNonAscii = 0;  // no key of the table: a character from a non-US keyboard

constexpr uint32_t kAlt = kLeftAlt;
constexpr uint32_t kCtrl = kLeftCtrl;

struct Key {
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

constexpr PunctuationKey kPunctuation[] = {
    {' ', 0x20, false}, {')', 0x30, true},   {'!', 0x31, true}, {'@', 0x32, true},
    {'#', 0x33, true},  {'$', 0x34, true},   {'%', 0x35, true}, {'^', 0x36, true},
    {'&', 0x37, true},  {'*', 0x38, true},   {'(', 0x39, true}, {'\\', 0xDC, false},
    {'|', 0xDC, true},  {'/', 0xBF, false},  {'?', 0xBF, true}, {'-', 0xBD, false},
    {'_', 0xBD, true},  {'=', 0xBB, false},  {'+', 0xBB, true}, {'[', 0xDB, false},
    {'{', 0xDB, true},  {']', 0xDD, false},  {'}', 0xDD, true}, {';', 0xBA, false},
    {':', 0xBA, true},  {'\'', 0xDE, false}, {'"', 0xDE, true}, {',', 0xBC, false},
    {'<', 0xBC, true},  {'.', 0xBE, false},  {'>', 0xBE, true}, {'`', 0xC0, false},
    {'~', 0xC0, true},
};

// The key behind one byte below 0x80 as a PC console reports it.
Key ascii_key(unsigned char b) {
  const char c = static_cast<char>(b);
  if (b == 0x00) return {kVkSpace, kCtrl, 0};
  if (b == 0x09) return {kVkTab, 0, c};
  if (b == 0x0D) return {kVkEnter, 0, c};
  if (b == kEsc) return {kVkEsc, 0, c};
  if (b <= 0x1A) return {static_cast<uint16_t>(0x40 + b), kCtrl, c};
  if (b == 0x1C) return {0xDC, kCtrl, c};  // Ctrl+backslash
  if (b == 0x1D) return {0xDD, kCtrl, c};  // Ctrl+right bracket
  if (b == 0x1E) return {0x36, kCtrl, c};  // Ctrl+6
  if (b == 0x1F) return {0xBD, kCtrl, c};  // Ctrl+minus
  if (b == 0x7F) return {0x08, 0, 0x08};   // Backspace, delivered as a PC console does
  if (b >= 'a' && b <= 'z') return {static_cast<uint16_t>(b - 0x20), 0, c};
  if (b >= 'A' && b <= 'Z') return {b, kShift, c};
  if (b >= '0' && b <= '9') return {b, 0, c};
  for (const PunctuationKey& key : kPunctuation) {
    if (key.character == c) return {key.virtual_key, key.shifted ? kShift : 0u, c};
  }
  return {kVkNonAscii, 0, c};  // not reached: every byte below 0x80 is covered above
}

void emit(KeySink* out, Key key, uint32_t extra) {
  // An Alt key carries no character, so that the key table's Alt column decides its code.
  const char character = (extra & kAlt) ? 0 : key.character;
  out->put(out->context, KeyRecord{true, true, key.virtual_key, character, key.modifiers | extra});
}

void emit_special(KeySink* out, uint16_t virtual_key, uint32_t modifiers) {
  out->put(out->context, KeyRecord{true, true, virtual_key, 0, modifiers});
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

// The numbers of `CSI n ~` (VT220, Linux console, rxvt). Where the families differ, a row names
// its family: rxvt and the kernel's built-in console keymap send Shift+F1 to Shift+F10 as F11 to
// F20 (23 to 34; 23 and 24 are F11 and F12 to xterm, and those win), the keymaps distributions
// load on the Linux console Shift+F1 to Shift+F8 as F13 to F20 (25 to 34).
enum Families : uint8_t {
  kXtermOnly = 1,
  kLinuxOnly = 2,
  kEvery = kXtermOnly | kLinuxOnly,
};

struct TildeKey {
  int number;
  uint16_t virtual_key;
  uint32_t modifiers;
  uint8_t families;
};

// clang-format off
constexpr TildeKey kTildeKeys[] = {
    {1, kVkHome, 0, kEvery},    {2, kVkInsert, 0, kEvery},   {3, kVkDelete, 0, kEvery},
    {4, kVkEnd, 0, kEvery},     {5, kVkPageUp, 0, kEvery},   {6, kVkPageDown, 0, kEvery},
    {7, kVkHome, 0, kEvery},    {8, kVkEnd, 0, kEvery},
    {11, kVkF1, 0, kEvery},     {12, kVkF2, 0, kEvery},      {13, kVkF3, 0, kEvery},
    {14, kVkF4, 0, kEvery},     {15, kVkF5, 0, kEvery},      {17, kVkF6, 0, kEvery},
    {18, kVkF7, 0, kEvery},     {19, kVkF8, 0, kEvery},      {20, kVkF9, 0, kEvery},
    {21, kVkF10, 0, kEvery},    {23, kVkF11, 0, kEvery},     {24, kVkF12, 0, kEvery},
    {25, kVkF3, kShift, kXtermOnly},  {26, kVkF4, kShift, kXtermOnly},
    {28, kVkF5, kShift, kXtermOnly},  {29, kVkF6, kShift, kXtermOnly},
    {31, kVkF7, kShift, kXtermOnly},  {32, kVkF8, kShift, kXtermOnly},
    {33, kVkF9, kShift, kXtermOnly},  {34, kVkF10, kShift, kXtermOnly},
    {25, kVkF1, kShift, kLinuxOnly},  {26, kVkF2, kShift, kLinuxOnly},
    {28, kVkF3, kShift, kLinuxOnly},  {29, kVkF4, kShift, kLinuxOnly},
    {31, kVkF5, kShift, kLinuxOnly},  {32, kVkF6, kShift, kLinuxOnly},
    {33, kVkF7, kShift, kLinuxOnly},  {34, kVkF8, kShift, kLinuxOnly},
};
// clang-format on

uint8_t family_bit(TerminalFamily family) {
  return family == TerminalFamily::kLinuxConsole ? kLinuxOnly : kXtermOnly;
}

// False for numbers no key of the family sends.
bool tilde_key(TerminalFamily family, int number, uint16_t* virtual_key, uint32_t* modifiers) {
  for (const TildeKey& key : kTildeKeys) {
    if (key.number == number && (key.families & family_bit(family)) != 0) {
      *virtual_key = key.virtual_key;
      *modifiers = key.modifiers;
      return true;
    }
  }
  return false;
}

// The final letters that CSI and SS3 share: the cursor block, Home, End, the keypad centre and
// F1 to F4.
struct LetterKey {
  unsigned char final_byte;
  uint16_t virtual_key;
};

constexpr LetterKey kLetterKeys[] = {
    {'A', kVkUp},    {'B', kVkDown}, {'C', kVkRight}, {'D', kVkLeft}, {'H', kVkHome}, {'F', kVkEnd},
    {'E', kVkClear}, {'P', kVkF1},   {'Q', kVkF2},    {'R', kVkF3},   {'S', kVkF4},
};

bool letter_key(unsigned char final_byte, uint16_t* virtual_key) {
  for (const LetterKey& key : kLetterKeys) {
    if (key.final_byte == final_byte) {
      *virtual_key = key.virtual_key;
      return true;
    }
  }
  return false;
}

// rxvt's a-d: the cursor keys Up, Down, Right, Left.
uint16_t rxvt_arrow(unsigned char final_byte) {
  static const uint16_t kArrows[] = {kVkUp, kVkDown, kVkRight, kVkLeft};
  return kArrows[final_byte - 'a'];
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

// Modifiers of the letter forms: `CSI 1;5A`, or the older `CSI 5A` and `SS3 5A`.
uint32_t letter_modifiers(const Parameters& parameters) {
  if (parameters.count == 2) return modifier_bits(parameters.value[1]);
  if (parameters.count == 1) return modifier_bits(parameters.value[0]);
  return 0;
}

void decode_csi(TerminalFamily family, const Parameters& parameters, unsigned char final_byte,
                uint32_t extra, KeySink* out) {
  uint16_t virtual_key = 0;
  uint32_t modifiers = 0;
  if (family == TerminalFamily::kLinuxConsole && final_byte == 'P' && parameters.count == 0) {
    // Pause, a key without a row.
  } else if (letter_key(final_byte, &virtual_key)) {
    emit_special(out, virtual_key, letter_modifiers(parameters) | extra);
  } else if (final_byte == 'G') {  // keypad centre on the Linux console
    emit_special(out, kVkClear, letter_modifiers(parameters) | extra);
  } else if (final_byte == 'Z') {  // back-tab
    emit_special(out, kVkTab, kShift | letter_modifiers(parameters) | extra);
  } else if (final_byte >= 'a' && final_byte <= 'd' && parameters.count == 0) {
    emit_special(out, rxvt_arrow(final_byte), kShift | extra);
  } else if (final_byte == '~' && parameters.count >= 1 &&
             tilde_key(family, parameters.value[0], &virtual_key, &modifiers)) {
    const int modifier = parameters.count == 2 ? parameters.value[1] : 1;
    emit_special(out, virtual_key, modifiers | modifier_bits(modifier) | extra);
  } else if ((final_byte == '$' || final_byte == '^' || final_byte == '@') &&
             parameters.count == 1 &&
             tilde_key(family, parameters.value[0], &virtual_key, &modifiers)) {
    // rxvt marks Shift with '$', Ctrl with '^' and both with '@' in place of '~'.
    if (final_byte != '^') modifiers |= kShift;
    if (final_byte != '$') modifiers |= kCtrl;
    emit_special(out, virtual_key, modifiers | extra);
  }
}

void decode_ss3(const Parameters& parameters, unsigned char final_byte, uint32_t extra,
                KeySink* out) {
  const uint32_t modifiers = letter_modifiers(parameters) | extra;
  uint16_t virtual_key = 0;
  if (letter_key(final_byte, &virtual_key)) {
    emit_special(out, virtual_key, modifiers);
  } else if (final_byte >= 'a' && final_byte <= 'd') {  // rxvt Ctrl+cursor keys
    emit_special(out, rxvt_arrow(final_byte), kCtrl | modifiers);
  } else if (final_byte >= 'p' && final_byte <= 'y') {  // application keypad digits
    emit_special(out, static_cast<uint16_t>(kVkKeypad0 + final_byte - 'p'), modifiers);
  } else if (final_byte == 'j' || final_byte == 'k' || final_byte == 'm' || final_byte == 'n' ||
             final_byte == 'o') {
    // Keypad * + - . / are 0x6A to 0x6F in the order of j to o ('l', the separator, is no key).
    emit_special(out, static_cast<uint16_t>(0x6A + final_byte - 'j'), modifiers);
  } else if (final_byte == 'M') {  // keypad Enter
    emit_special(out, kVkEnter, modifiers);
  }
}

bool continues_sequence(unsigned char b) {
  return b >= 0x20 && b <= 0x7E;
}

// An X10 mouse report: `ESC [ M` and three bytes of button and position, which may be any bytes.
constexpr size_t kX10MouseReportLength = 6;

// `ESC [` or `ESC O` and what follows. Returns the bytes used, 0 while more are needed.
size_t parse_sequence(TerminalFamily family, const unsigned char* p, size_t n, bool force,
                      uint32_t extra, KeySink* out) {
  const bool ss3 = p[1] == 'O';
  // Alone (or before a byte that cannot continue it) it was Alt with '[' or 'O'.
  if (n == 2 && !force) return 0;
  if (n == 2 || !continues_sequence(p[2])) {
    emit(out, ascii_key(p[1]), kAlt | extra);
    return 2;
  }
  if (!ss3 && p[2] == 'M') {  // a mouse report left switched on by an earlier program
    if (n < kX10MouseReportLength) return force ? n : 0;
    return kX10MouseReportLength;
  }
  if (!ss3 && p[2] == '[') {  // Linux console F1 to F5: ESC [ [ A-E
    if (n == 3) return force ? 3 : 0;
    const unsigned char f = p[3];
    if (f >= 'A' && f <= 'E') emit_special(out, static_cast<uint16_t>(kVkF1 + f - 'A'), extra);
    return continues_sequence(f) ? 4 : 3;
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
  if (i == n) return force ? n : 0;  // cut off by the deadline: nothing
  const unsigned char final_byte = p[i];
  if (!(final_byte >= 0x40 && final_byte <= 0x7E) && final_byte != '$') {
    return i;  // broken by a byte that cannot belong to it: swallowed up to there
  }
  // Intermediate bytes and private markers belong to no key: parse_parameters refuses them.
  Parameters parameters;
  if (parse_parameters(p + 2, i - 2, &parameters)) {
    if (ss3) {
      decode_ss3(parameters, final_byte, extra, out);
    } else {
      decode_csi(family, parameters, final_byte, extra, out);
    }
  }
  return i + 1;
}

// One UTF-8 character (or a stray byte of one) as a key without a table row.
size_t parse_non_ascii(const unsigned char* p, size_t n, bool force, uint32_t extra, KeySink* out) {
  const unsigned char lead = p[0];
  size_t length = 1;
  if (lead >= 0xC0 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF7) length = 4;
  size_t i = 1;
  while (i < length && i < n && (p[i] & 0xC0) == 0x80) ++i;
  if (i < length && i == n && !force) return 0;
  emit(out, Key{kVkNonAscii, 0, static_cast<char>(lead)}, extra);
  return i;
}

size_t parse_escape(TerminalFamily family, const unsigned char* p, size_t n, bool force,
                    uint32_t extra, KeySink* out) {
  if (n == 1) {
    if (!force) return 0;
    emit(out, ascii_key(kEsc), extra);
    return 1;
  }
  const unsigned char c = p[1];
  if (c == '[' || c == 'O') return parse_sequence(family, p, n, force, extra, out);
  if (c == kEsc) {
    // ESC before a whole sequence is Alt with that key; otherwise ESC ESC is Alt+Esc.
    if (n == 2 && !force) return 0;
    if (n > 2 && (p[2] == '[' || p[2] == 'O')) {
      const size_t used = parse_escape(family, p + 1, n - 1, force, kAlt | extra, out);
      return used ? used + 1 : 0;
    }
    emit(out, ascii_key(kEsc), kAlt | extra);
    return 2;
  }
  if (c < 0x80) {
    emit(out, ascii_key(c), kAlt | extra);
    return 2;
  }
  const size_t used = parse_non_ascii(p + 1, n - 1, force, kAlt | extra, out);
  return used ? used + 1 : 0;
}

// Decodes the key at the start of p[0..n). Returns the bytes it used, or 0 when they may be the
// start of a longer sequence; with `force` the bytes are taken as they stand and never 0.
size_t parse(TerminalFamily family, const unsigned char* p, size_t n, bool force, KeySink* out) {
  constexpr uint32_t extra = 0;
  if (p[0] == kEsc) return parse_escape(family, p, n, force, extra, out);
  if (p[0] < 0x80) {
    emit(out, ascii_key(p[0]), extra);
    return 1;
  }
  return parse_non_ascii(p, n, force, extra, out);
}

void drain(TerminalDecoder* decoder, bool force, KeySink* out) {
  while (decoder->held_count > 0) {
    const size_t used = parse(decoder->family, decoder->held, decoder->held_count, force, out);
    if (used == 0) return;
    decoder->held_count -= used;
    std::memmove(decoder->held, decoder->held + used, decoder->held_count);
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
