// Virtual-key codes: the console's names for the keys of a US keyboard, as the Windows console
// reports them in a key record. The key table is indexed by them, and the terminal decoder
// names the key of each sequence with them. The letter and digit keys are their upper-case
// characters ('A', '7').
#pragma once

#include <cstdint>

constexpr uint16_t kVkNone = 0;  // no key of the table: a character typed on another keyboard
constexpr uint16_t kVkBackspace = 0x08;
constexpr uint16_t kVkTab = 0x09;
constexpr uint16_t kVkClear = 0x0C;  // keypad centre without Num Lock
constexpr uint16_t kVkEnter = 0x0D;
constexpr uint16_t kVkShift = 0x10;
constexpr uint16_t kVkControl = 0x11;
constexpr uint16_t kVkMenu = 0x12;  // Alt
constexpr uint16_t kVkEscape = 0x1B;
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
constexpr uint16_t kVkKeypad0 = 0x60;  // to kVkKeypad0 + 9
constexpr uint16_t kVkKeypadMultiply = 0x6A;
constexpr uint16_t kVkKeypadAdd = 0x6B;
constexpr uint16_t kVkKeypadSubtract = 0x6D;
constexpr uint16_t kVkKeypadDecimal = 0x6E;
constexpr uint16_t kVkKeypadDivide = 0x6F;
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
constexpr uint16_t kVkSemicolon = 0xBA;
constexpr uint16_t kVkEquals = 0xBB;
constexpr uint16_t kVkComma = 0xBC;
constexpr uint16_t kVkMinus = 0xBD;
constexpr uint16_t kVkPeriod = 0xBE;
constexpr uint16_t kVkSlash = 0xBF;
constexpr uint16_t kVkGrave = 0xC0;
constexpr uint16_t kVkLeftBracket = 0xDB;
constexpr uint16_t kVkBackslash = 0xDC;
constexpr uint16_t kVkRightBracket = 0xDD;
constexpr uint16_t kVkApostrophe = 0xDE;
