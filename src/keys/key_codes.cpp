#include "keys/key_codes.h"

#include "keys/virtual_keys.h"

namespace {

constexpr int16_t none = -1;

// One key: its virtual-key code, then its code with no modifier, with Shift, with Ctrl, with Alt.
struct KeyRow {
  int16_t virtual_key;
  int16_t plain;
  int16_t shift;
  int16_t ctrl;
  int16_t alt;
};

// clang-format off
constexpr KeyRow kKeyTable[] = {
    // Special keys
    //  key              none   shift  ctrl   alt
    {kVkBackspace,       0x08,  0x08,  0x7F,  0x10E},
    {kVkTab,             0x09,  0x10F, 0x194, 0x1A5},
    {kVkEnter,           0x0D,  0x0D,  0x0A,  0x1A6},
    {kVkEscape,          0x1B,  0x1B,  0x1B,  0x101},
    {kVkSpace,           0x20,  0x20,  0x103, 0x20},

    // Digit keys
    {'0',                0x30,  0x29,  none,  0x181},
    {'1',                0x31,  0x21,  none,  0x178},
    {'2',                0x32,  0x40,  0x103, 0x179},
    {'3',                0x33,  0x23,  none,  0x17A},
    {'4',                0x34,  0x24,  none,  0x17B},
    {'5',                0x35,  0x25,  none,  0x17C},
    {'6',                0x36,  0x5E,  0x1E,  0x17D},
    {'7',                0x37,  0x26,  none,  0x17E},
    {'8',                0x38,  0x2A,  none,  0x17F},
    {'9',                0x39,  0x28,  none,  0x180},

    // Letter keys; with no modifier the record's own character is taken, not the first column.
    // Alt gives 0x100 plus the key's scan code.
    {'A',                0x61,  0x41,  0x01,  0x11E},
    {'B',                0x62,  0x42,  0x02,  0x130},
    {'C',                0x63,  0x43,  0x03,  0x12E},
    {'D',                0x64,  0x44,  0x04,  0x120},
    {'E',                0x65,  0x45,  0x05,  0x112},
    {'F',                0x66,  0x46,  0x06,  0x121},
    {'G',                0x67,  0x47,  0x07,  0x122},
    {'H',                0x68,  0x48,  0x08,  0x123},
    {'I',                0x69,  0x49,  0x09,  0x117},
    {'J',                0x6A,  0x4A,  0x0A,  0x124},
    {'K',                0x6B,  0x4B,  0x0B,  0x125},
    {'L',                0x6C,  0x4C,  0x0C,  0x126},
    {'M',                0x6D,  0x4D,  0x0D,  0x132},
    {'N',                0x6E,  0x4E,  0x0E,  0x131},
    {'O',                0x6F,  0x4F,  0x0F,  0x118},
    {'P',                0x70,  0x50,  0x10,  0x119},
    {'Q',                0x71,  0x51,  0x11,  0x110},
    {'R',                0x72,  0x52,  0x12,  0x113},
    {'S',                0x73,  0x53,  0x13,  0x11F},
    {'T',                0x74,  0x54,  0x14,  0x114},
    {'U',                0x75,  0x55,  0x15,  0x116},
    {'V',                0x76,  0x56,  0x16,  0x12F},
    {'W',                0x77,  0x57,  0x17,  0x111},
    {'X',                0x78,  0x58,  0x18,  0x12D},
    {'Y',                0x79,  0x59,  0x19,  0x115},
    {'Z',                0x7A,  0x5A,  0x1A,  0x12C},

    // Navigation keys
    {kVkPageUp,          0x149, 0x149, 0x184, 0x199},
    {kVkPageDown,        0x151, 0x151, 0x176, 0x1A1},
    {kVkEnd,             0x14F, 0x14F, 0x175, 0x19F},
    {kVkHome,            0x147, 0x147, 0x177, 0x197},
    {kVkLeft,            0x14B, 0x14B, 0x173, 0x19B},
    {kVkUp,              0x148, 0x148, 0x18D, 0x198},
    {kVkRight,           0x14D, 0x14D, 0x174, 0x19D},
    {kVkDown,            0x150, 0x150, 0x191, 0x1A0},
    {kVkInsert,          0x152, 0x152, 0x192, 0x1A2},
    {kVkDelete,          0x153, 0x153, 0x193, 0x1A3},

    // Keypad digits; Shift and Ctrl give the navigation key on the same keypad key.
    {kVkKeypad0,         0x30,  0x152, 0x192, none},        // keypad 0 (Insert)
    {kVkKeypad0 + 1,     0x31,  0x14F, 0x175, none},        // keypad 1 (End)
    {kVkKeypad0 + 2,     0x32,  0x150, 0x191, none},        // keypad 2 (Down)
    {kVkKeypad0 + 3,     0x33,  0x151, 0x176, none},        // keypad 3 (Page Down)
    {kVkKeypad0 + 4,     0x34,  0x14B, 0x173, none},        // keypad 4 (Left)
    {kVkKeypad0 + 5,     0x35,  0x14C, 0x18F, none},        // keypad 5 (centre)
    {kVkKeypad0 + 6,     0x36,  0x14D, 0x174, none},        // keypad 6 (Right)
    {kVkKeypad0 + 7,     0x37,  0x147, 0x177, none},        // keypad 7 (Home)
    {kVkKeypad0 + 8,     0x38,  0x148, 0x18D, none},        // keypad 8 (Up)
    {kVkKeypad0 + 9,     0x39,  0x149, 0x184, none},        // keypad 9 (Page Up)

    // Keypad operators
    {kVkKeypadMultiply,  0x2A,  0x2A,  0x196, 0x137},
    {kVkKeypadAdd,       0x2B,  0x2B,  0x190, 0x14E},
    {kVkKeypadSubtract,  0x2D,  0x2D,  0x18E, 0x14A},
    {kVkKeypadDecimal,   0x2E,  0x2E,  0x153, 0x193},
    {kVkKeypadDivide,    0x2F,  0x2F,  0x195, 0x1A4},

    // Function keys
    {kVkF1,              0x13B, 0x154, 0x15E, 0x168},
    {kVkF2,              0x13C, 0x155, 0x15F, 0x169},
    {kVkF3,              0x13D, 0x156, 0x160, 0x16A},
    {kVkF4,              0x13E, 0x157, 0x161, 0x16B},
    {kVkF5,              0x13F, 0x158, 0x162, 0x16C},
    {kVkF6,              0x140, 0x159, 0x163, 0x16D},
    {kVkF7,              0x141, 0x15A, 0x164, 0x16E},
    {kVkF8,              0x142, 0x15B, 0x165, 0x16F},
    {kVkF9,              0x143, 0x15C, 0x166, 0x170},
    {kVkF10,             0x144, 0x15D, 0x167, 0x171},
    {kVkF11,             0x185, 0x187, 0x189, 0x18B},
    {kVkF12,             0x186, 0x188, 0x18A, 0x18C},

    // Punctuation keys
    {kVkBackslash,       0x5C,  0x7C,  0x1C,  0x12B},
    {kVkSlash,           0x2F,  0x3F,  none,  0x135},
    {kVkMinus,           0x2D,  0x5F,  0x1F,  0x182},
    {kVkEquals,          0x3D,  0x2B,  none,  0x183},
    {kVkLeftBracket,     0x5B,  0x7B,  0x1B,  0x11A},
    {kVkRightBracket,    0x5D,  0x7D,  0x1D,  0x11B},
    {kVkSemicolon,       0x3B,  0x3A,  none,  0x127},
    {kVkApostrophe,      0x27,  0x22,  none,  0x128},
    {kVkComma,           0x2C,  0x3C,  none,  0x133},
    {kVkPeriod,          0x2E,  0x3E,  none,  0x134},
    {kVkGrave,           0x60,  0x7E,  none,  0x129},
};
// clang-format on

const KeyRow* find_row(uint16_t virtual_key) {
  for (const KeyRow& row : kKeyTable) {
    if (row.virtual_key == virtual_key) return &row;
  }
  return nullptr;
}

bool is_letter_key(uint16_t virtual_key) {
  return virtual_key >= 'A' && virtual_key <= 'Z';
}

int signed_char(char c) {
  return static_cast<int8_t>(c);
}

int code_of_row(const KeyRow& row, const KeyRecord& record) {
  const uint32_t state = record.control_state;
  if (state & (kRightAlt | kLeftAlt)) return row.alt;
  if (state & (kRightCtrl | kLeftCtrl)) return row.ctrl;
  if (state & kShift) return row.shift;
  if (is_letter_key(record.virtual_key)) return signed_char(record.character);
  return row.plain;
}

}  // namespace

bool key_has_row(uint16_t virtual_key) {
  return find_row(virtual_key) != nullptr;
}

int key_record_code(const KeyRecord& record) {
  const KeyRow* row = find_row(record.virtual_key);
  return row ? code_of_row(*row, record) : -1;
}

namespace {

// What read_key passes over on its way to a key: records that are not keys, releases, and
// presses without a character that yield nothing.
bool passed_over_by_read(const KeyRecord& record) {
  if (!record.is_key_event || !record.key_down) return true;
  return record.character == 0 && key_record_code(record) == -1;
}

// Looks at the queued records for one that yields a code. Never inlined, so that only a turn
// with records queued pays for the room of a look.
[[gnu::noinline]] int look_for_key(ConsoleQueue* console, uint32_t queued) {
  KeyRecord records[kMostRecordsLookedAt];
  uint32_t looked = 0;
  if (!console->peek(console->context, records, kMostRecordsLookedAt, &looked)) return 0;
  for (uint32_t i = 0; i < looked; ++i) {
    const KeyRecord& record = records[i];
    if (!record.is_key_event || !record.key_down) continue;
    const uint16_t vk = record.virtual_key;
    if (vk == kVkShift || vk == kVkControl || vk == kVkMenu) continue;
    if (key_record_code(record) != -1) return 1;
  }
  // The console looks at no more than so many records at once. When that look found no key, the
  // records at its front that read_key would pass over anyway are taken off, so that a key behind
  // thousands of them (mouse moves) is seen in a later turn rather than never.
  if (looked < queued || looked == kMostRecordsLookedAt) {
    for (uint32_t i = 0; i < looked; ++i) {
      KeyRecord removed;
      if (!passed_over_by_read(records[i]) || !console->remove_oldest(console->context, &removed)) {
        break;
      }
    }
  }
  return 0;
}

}  // namespace

int key_pending_from(ConsoleQueue* console, KeyState* state) {
  if (state->pending_extended != -1) return 1;
  uint32_t queued = 0;
  // A console that cannot be counted or looked at has nothing waiting; read_key then reports
  // the failure.
  if (!console->count(console->context, &queued) || queued == 0) return 0;
  return look_for_key(console, queued);
}

int read_key_from(ConsoleQueue* console, KeyState* state) {
  if (state->pending_extended != -1) {
    const int code = state->pending_extended;
    state->pending_extended = -1;
    return code;
  }
  uint32_t saved_mode = 0;
  if (!console->get_mode(console->context, &saved_mode)) return -1;
  if (!console->set_mode(console->context, 0)) {
    // Put the saved mode back in case the refused change took effect in part.
    console->set_mode(console->context, saved_mode);
    return -1;
  }
  int result = -1;
  for (;;) {
    KeyRecord record;
    if (!console->remove_oldest(console->context, &record)) {
      console->set_mode(console->context, saved_mode);
      return -1;
    }
    if (!record.is_key_event || !record.key_down) continue;
    if (record.character != 0) {
      result = signed_char(record.character);
      break;
    }
    const int code = key_record_code(record);  // -1 also for a key without a row
    if (code == -1) continue;
    if (code >= 0x100) {
      state->pending_extended = code & 0xFF;
      result = 0;
    } else {
      result = code;
    }
    break;
  }
  // The code is lost when the mode cannot be restored; a stored extended code stays pending.
  if (!console->set_mode(console->context, saved_mode)) return -1;
  return result;
}
