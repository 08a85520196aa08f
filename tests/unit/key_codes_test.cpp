#include "keys/key_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "scripted_console.h"

namespace {

constexpr uint32_t kAnyAlt = kLeftAlt;
constexpr uint32_t kAnyCtrl = kLeftCtrl;
// Lock-key and enhanced-key bits of a PC console, which no key code depends on.
constexpr uint32_t kNumLock = 0x20;
constexpr uint32_t kScrollLock = 0x40;
constexpr uint32_t kCapsLock = 0x80;
constexpr uint32_t kEnhanced = 0x100;

KeyRecord press(uint16_t vk, char character = 0, uint32_t state = 0) {
  return KeyRecord{true, true, vk, character, state};
}
KeyRecord release(uint16_t vk, char character = 0, uint32_t state = 0) {
  return KeyRecord{true, false, vk, character, state};
}
KeyRecord mouse() {
  return KeyRecord{false, false, 0, 0, 0};
}

struct TurnsCase {
  const char* name;
  std::vector<KeyRecord> records;
  std::vector<int> codes;  // delivered turn by turn until key_pending gives 0
  size_t left_queued;      // records still queued afterwards
};

const TurnsCase kTurnsCases[] = {
    {"q", {press(0x51, 'q'), release(0x51, 'q')}, {0x71}, 1},
    {"page_down_over_two_turns", {press(0x22), release(0x22)}, {0, 0x51}, 1},
    {"shift_page_down", {press(0x22, 0, kShift)}, {0, 0x51}, 0},
    {"f1", {press(0x70)}, {0, 0x3B}, 0},
    {"f11", {press(0x7A)}, {0, 0x85}, 0},
    {"shift_f5", {press(0x74, 0, kShift)}, {0, 0x58}, 0},
    {"ctrl_f8", {press(0x77, 0, kRightCtrl)}, {0, 0x65}, 0},
    {"alt_f10", {press(0x79, 0, kLeftAlt)}, {0, 0x71}, 0},
    {"alt_1", {press(0x31, 0, kRightAlt)}, {0, 0x78}, 0},
    {"alt_x", {press(0x58, 0, kLeftAlt)}, {0, 0x2D}, 0},
    {"shift_keypad_3", {press(0x63, 0, kShift)}, {0, 0x51}, 0},
    {"shift_e_without_character", {press(0x45, 0, kShift)}, {0x45}, 0},
    {"enter", {press(0x0D, 0x0D)}, {0x0D}, 0},
    {"esc", {press(0x1B, 0x1B)}, {0x1B}, 0},
    {"backspace", {press(0x08, 0x08)}, {0x08}, 0},
    {"enter_esc_backspace_without_characters",
     {press(0x0D), press(0x1B), press(0x08)},
     {0x0D, 0x1B, 0x08},
     0},
    {"modifier_keys_alone",
     {press(0x10, 0, kShift), release(0x10), press(0x11, 0, kLeftCtrl), release(0x11),
      press(0x12, 0, kLeftAlt), release(0x12)},
     {},
     6},
    {"modifier_keys_consumed_by_the_next_read",
     {press(0x10, 0, kShift), release(0x10), press(0x12, 0, kLeftAlt), release(0x12),
      press(0x51, 'q'), release(0x51, 'q')},
     {0x71},
     1},
    {"ctrl_1_yields_nothing", {press(0x31, 0, kLeftCtrl)}, {}, 1},
    {"ctrl_1_consumed_before_q", {press(0x31, 0, kLeftCtrl), press(0x51, 'q')}, {0x71}, 0},
    {"held_key_repeats_one_code_per_record",
     {press(0x41, 'a'), press(0x41, 'a'), press(0x41, 'a'), release(0x41, 'a')},
     {0x61, 0x61, 0x61},
     1},
    {"character_without_row_alone", {press(0xE2, '<'), release(0xE2, '<')}, {}, 2},
    {"character_without_row_delivered_first",
     {press(0xE2, '<'), release(0xE2, '<'), press(0x51, 'q')},
     {0x3C, 0x71},
     0},
    {"character_0xE0_is_minus_32", {press(0x41, '\xE0')}, {-32}, 0},
    {"character_0xFF_is_minus_1", {press(0x30, '\xFF')}, {-1}, 0},
    // On a letter key with no modifier the character is the code, and -1 means none.
    {"letter_with_character_0xFF_is_not_waiting", {press(0x41, '\xFF')}, {}, 1},
    {"letter_without_character_is_a_single_0", {press(0x41)}, {0}, 0},
    {"character_outranks_the_table", {press(0x58, 'x', kLeftAlt)}, {0x78}, 0},
    {"ctrl_c_in_mode_0", {press(0x43, 0x03, kLeftCtrl)}, {0x03}, 0},
    {"ctrl_alt_uses_alt", {press(0x70, 0, kLeftCtrl | kRightAlt)}, {0, 0x68}, 0},
    {"shift_alt_uses_alt", {press(0x70, 0, kShift | kLeftAlt)}, {0, 0x68}, 0},
    {"shift_ctrl_uses_ctrl", {press(0x25, 0, kShift | kRightCtrl)}, {0, 0x73}, 0},
    {"lock_keys_change_nothing", {press(0x22, 0, kNumLock | kCapsLock | kEnhanced)}, {0, 0x51}, 0},
    // A lock key or the enhanced flag is not Shift: F1 stays F1.
    {"f1_with_num_lock", {press(0x70, 0, kNumLock)}, {0, 0x3B}, 0},
    {"f1_with_caps_lock", {press(0x70, 0, kCapsLock)}, {0, 0x3B}, 0},
    {"f1_with_scroll_lock", {press(0x70, 0, kScrollLock)}, {0, 0x3B}, 0},
    {"f1_enhanced", {press(0x70, 0, kEnhanced)}, {0, 0x3B}, 0},
    {"non_key_records_passed_over", {mouse(), press(0x51, 'q'), mouse()}, {0x71}, 1},
    {"release_alone_is_not_waiting", {release(0x51, 'q')}, {}, 1},
    {"two_keys_over_two_turns", {press(0x41, 'a'), press(0x51, 'q')}, {0x61, 0x71}, 0},
    // F12 waits until the extended code of F1 has been delivered.
    {"two_extended_keys", {press(0x70), press(0x7B)}, {0, 0x3B, 0, 0x86}, 0},
};

class KeyTurns : public testing::TestWithParam<TurnsCase> {};

TEST_P(KeyTurns, DeliversCodesTurnByTurn) {
  const TurnsCase& c = GetParam();
  ScriptedConsole console;
  console.queue.assign(c.records.begin(), c.records.end());
  KeyState state;
  EXPECT_EQ(run_turns(&console, &state), c.codes);
  EXPECT_EQ(console.queue.size(), c.left_queued);
  EXPECT_EQ(state.pending_extended, -1);
  EXPECT_EQ(console.mode, kUserMode);
  EXPECT_FALSE(console.removed_in_other_mode);
  EXPECT_FALSE(console.waited);
}

INSTANTIATE_TEST_SUITE_P(KeyCodes, KeyTurns, testing::ValuesIn(kTurnsCases),
                         [](const testing::TestParamInfo<TurnsCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(KeyPending, StaysZeroWithoutConsumingOrChangingMode) {
  ScriptedConsole console;
  console.queue = {press(0xE2, '<'), press(0x31, 0, kLeftCtrl), release(0x51, 'q'), mouse()};
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  for (int turn = 0; turn < 5; ++turn) EXPECT_EQ(key_pending_from(&queue, &state), 0);
  EXPECT_EQ(console.queue.size(), 4u);
  EXPECT_EQ(console.mode, kUserMode);
}

// A console that looks at only so many records: a key behind more records than that, which
// read_key would pass over anyway, is still seen after a few turns.
TEST(KeyPending, AKeyBehindMoreRecordsThanOneLookIsSeenInTime) {
  ScriptedConsole console;
  console.look_limit = 4;
  for (int i = 0; i < 10; ++i) console.queue.push_back(mouse());
  console.queue.push_back(release(0x51, 'q'));
  console.queue.push_back(press(0x10, 0, kShift));
  console.queue.push_back(press(0x31, 0, kLeftCtrl));  // Ctrl+1 yields nothing
  console.queue.push_back(press(0x51, 'q'));
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  int turns = 0;
  while (key_pending_from(&queue, &state) == 0 && turns < 10) ++turns;
  EXPECT_EQ(turns, 3);
  EXPECT_EQ(console.queue.size(), 2u);
  EXPECT_EQ(read_key_from(&queue, &state), 'q');
  EXPECT_EQ(console.mode, kUserMode);
}

// Only what read_key would pass over is taken off: a character without a table row stays, to be
// delivered by read_key in its turn, and a look that saw the whole queue takes nothing off.
TEST(KeyPending, TakesOffOnlyWhatReadKeyWouldPassOver) {
  ScriptedConsole console;
  console.look_limit = 2;
  console.queue = {mouse(), press(0xE2, '<'), mouse(), mouse()};
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  for (int turn = 0; turn < 3; ++turn) EXPECT_EQ(key_pending_from(&queue, &state), 0);
  ASSERT_EQ(console.queue.size(), 3u);
  EXPECT_EQ(console.queue.front().character, '<');
  console.look_limit = SIZE_MAX;
  console.queue = {mouse(), release(0x41, 'a')};
  EXPECT_EQ(key_pending_from(&queue, &state), 0);
  EXPECT_EQ(console.queue.size(), 2u);
}

TEST(KeyPending, PendingExtendedCodeAnswersWithoutTheConsole) {
  ScriptedConsole console;
  console.fail_count = true;
  console.fail_peek = true;
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  state.pending_extended = 0x51;
  EXPECT_EQ(key_pending_from(&queue, &state), 1);
  EXPECT_EQ(console.calls, 0);
}

TEST(KeyPending, ConsoleThatCannotBeCountedOrLookedAtHasNothingWaiting) {
  for (bool fail_count : {true, false}) {
    ScriptedConsole console;
    console.queue = {press(0x51, 'q')};
    console.fail_count = fail_count;
    console.fail_peek = !fail_count;
    ConsoleQueue queue = queue_of(&console);
    KeyState state;
    EXPECT_EQ(key_pending_from(&queue, &state), 0) << "fail_count " << fail_count;
  }
}

TEST(KeyRead, PendingExtendedCodeDeliveredWithoutTheConsole) {
  ScriptedConsole console;
  console.fail_get_mode = true;
  console.queue = {press(0x51, 'q')};
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  state.pending_extended = 0xFF;  // delivered as 0 to 255, not as a signed byte
  EXPECT_EQ(read_key_from(&queue, &state), 0xFF);
  EXPECT_EQ(state.pending_extended, -1);
  EXPECT_EQ(console.calls, 0);
  EXPECT_EQ(console.queue.size(), 1u);
}

struct FailureCase {
  const char* name;
  bool fail_get_mode;
  bool fail_set_zero;
  bool fail_remove;
  bool fail_restore;
  std::vector<KeyRecord> records;
  size_t left_queued;
  int pending_after;  // the extended code left pending, or -1
};

const FailureCase kFailureCases[] = {
    {"mode_cannot_be_read", true, false, false, false, {press(0x22)}, 1, -1},
    {"mode_cannot_be_set_to_0", false, true, false, false, {press(0x22)}, 1, -1},
    {"remove_fails", false, false, true, false, {press(0x22)}, 1, -1},
    {"restore_fails_after_a_character",
     false,
     false,
     false,
     true,
     {release(0x10), press(0x51, 'q'), press(0x41, 'a')},
     1,
     -1},
    {"restore_fails_after_an_extended_key",
     false,
     false,
     false,
     true,
     {press(0x22), press(0x41, 'a')},
     1,
     0x51},
};

class KeyFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(KeyFailures, GiveMinusOneAndLeaveTheStateAsTheRulesSay) {
  const FailureCase& c = GetParam();
  ScriptedConsole console;
  console.queue.assign(c.records.begin(), c.records.end());
  console.fail_get_mode = c.fail_get_mode;
  console.fail_set_zero = c.fail_set_zero;
  console.fail_remove = c.fail_remove;
  console.fail_set_other = c.fail_restore;
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  EXPECT_EQ(read_key_from(&queue, &state), -1);
  EXPECT_EQ(console.queue.size(), c.left_queued);
  EXPECT_EQ(state.pending_extended, c.pending_after);
  // Mode 0 stays only when it could not be left again.
  EXPECT_EQ(console.mode, c.fail_restore ? 0u : kUserMode);
  // Once the mode was saved, the saved mode is asked for last, on every path.
  if (c.fail_get_mode) {
    EXPECT_TRUE(console.modes_set.empty());
  } else {
    ASSERT_FALSE(console.modes_set.empty());
    EXPECT_EQ(console.modes_set.front(), 0u);
    EXPECT_EQ(console.modes_set.back(), kUserMode);
  }
}

INSTANTIATE_TEST_SUITE_P(KeyCodes, KeyFailures, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(KeyRead, ExtendedCodeKeptThroughFailedRestoreComesNext) {
  ScriptedConsole console;
  console.queue = {press(0x70)};
  console.fail_set_other = true;
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  EXPECT_EQ(read_key_from(&queue, &state), -1);
  EXPECT_EQ(key_pending_from(&queue, &state), 1);
  EXPECT_EQ(read_key_from(&queue, &state), 0x3B);
}

TEST(KeyRead, TakesRecordsInQueueOrderAndLeavesThoseBehind) {
  ScriptedConsole console;
  console.queue = {
      mouse(),     release(0x41, 'a'), press(0x10, 0, kShift), press(0x31, 0, kLeftCtrl),
      press(0x70), release(0x70),      press(0x51, 'q')};
  ConsoleQueue queue = queue_of(&console);
  KeyState state;
  EXPECT_EQ(read_key_from(&queue, &state), 0);
  EXPECT_EQ(state.pending_extended, 0x3B);
  ASSERT_EQ(console.queue.size(), 2u);
  EXPECT_FALSE(console.queue.front().key_down);
  EXPECT_EQ(console.queue.front().virtual_key, 0x70);
}

// The key table checked against the series its columns follow, rather than copied from it.
TEST(KeyTable, HasEightyNineRowsAndNoneForModifiers) {
  int rows = 0;
  for (int vk = 0; vk <= 0xFFFF; ++vk) rows += key_has_row(static_cast<uint16_t>(vk)) ? 1 : 0;
  EXPECT_EQ(rows, 89);
  EXPECT_FALSE(key_has_row(0x10));
  EXPECT_FALSE(key_has_row(0x11));
  EXPECT_FALSE(key_has_row(0x12));
  EXPECT_FALSE(key_has_row(0));
}

int code(uint16_t vk, uint32_t state, char character = 0) {
  return key_record_code(press(vk, character, state));
}

TEST(KeyTable, LettersFollowTheirCharacterCtrlCodeAndScanCode) {
  // Scan codes of the three letter rows of a PC keyboard.
  const struct {
    const char* letters;
    int first_scan_code;
  } kRows[] = {{"QWERTYUIOP", 0x10}, {"ASDFGHJKL", 0x1E}, {"ZXCVBNM", 0x2C}};
  for (const auto& row : kRows) {
    for (int i = 0; row.letters[i] != 0; ++i) {
      const char letter = row.letters[i];
      const uint16_t vk = static_cast<uint16_t>(letter);
      EXPECT_EQ(code(vk, kAnyAlt), 0x100 + row.first_scan_code + i) << letter;
      EXPECT_EQ(code(vk, kAnyCtrl), letter - 'A' + 1) << letter;
      EXPECT_EQ(code(vk, kShift), letter) << letter;
      EXPECT_EQ(code(vk, 0, 'z'), 'z') << letter;  // the record's own character
    }
  }
}

TEST(KeyTable, DigitsAndFunctionKeysFollowTheirSeries) {
  const int kShifted[] = {')', '!', '@', '#', '$', '%', '^', '&', '*', '('};
  for (int d = 0; d <= 9; ++d) {
    const uint16_t vk = static_cast<uint16_t>(0x30 + d);
    EXPECT_EQ(code(vk, 0), '0' + d);
    EXPECT_EQ(code(vk, kShift), kShifted[d]);
    EXPECT_EQ(code(vk, kAnyAlt), d == 0 ? 0x181 : 0x177 + d);
    EXPECT_EQ(code(vk, kAnyCtrl), d == 2 ? 0x103 : d == 6 ? 0x1E : -1) << d;
    EXPECT_EQ(code(static_cast<uint16_t>(0x60 + d), 0), '0' + d);
    EXPECT_EQ(code(static_cast<uint16_t>(0x60 + d), kAnyAlt), -1);
  }
  for (int f = 0; f < 10; ++f) {
    const uint16_t vk = static_cast<uint16_t>(0x70 + f);
    EXPECT_EQ(code(vk, 0), 0x13B + f);
    EXPECT_EQ(code(vk, kShift), 0x154 + f);
    EXPECT_EQ(code(vk, kAnyCtrl), 0x15E + f);
    EXPECT_EQ(code(vk, kAnyAlt), 0x168 + f);
  }
  for (int f = 0; f < 2; ++f) {
    const uint16_t vk = static_cast<uint16_t>(0x7A + f);
    EXPECT_EQ(code(vk, 0), 0x185 + f);
    EXPECT_EQ(code(vk, kShift), 0x187 + f);
    EXPECT_EQ(code(vk, kAnyCtrl), 0x189 + f);
    EXPECT_EQ(code(vk, kAnyAlt), 0x18B + f);
  }
}

TEST(KeyTable, KeypadDigitsShareTheNavigationKeysCodes) {
  // Keypad 0-9 are Insert, End, Down, Page Down, Left, (centre), Right, Home, Up, Page Up.
  const uint16_t kNavigation[] = {0x2D, 0x23, 0x28, 0x22, 0x25, 0, 0x27, 0x24, 0x26, 0x21};
  for (int d = 0; d <= 9; ++d) {
    if (kNavigation[d] == 0) continue;
    const uint16_t keypad = static_cast<uint16_t>(0x60 + d);
    EXPECT_EQ(code(keypad, kShift), code(kNavigation[d], 0)) << d;
    EXPECT_EQ(code(keypad, kAnyCtrl), code(kNavigation[d], kAnyCtrl)) << d;
  }
  EXPECT_EQ(code(0x65, kShift), 0x14C);
  EXPECT_EQ(code(0x65, kAnyCtrl), 0x18F);
}

TEST(KeyTable, NavigationAndPunctuationFollowTheirScanCodes) {
  // Navigation keys: 0x100 plus the scan code alone and with Shift, 0x150 plus it with Alt.
  const struct {
    uint16_t vk;
    int scan_code;
  } kNavigation[] = {{0x24, 0x47}, {0x26, 0x48}, {0x21, 0x49}, {0x25, 0x4B}, {0x27, 0x4D},
                     {0x23, 0x4F}, {0x28, 0x50}, {0x22, 0x51}, {0x2D, 0x52}, {0x2E, 0x53}};
  for (const auto& key : kNavigation) {
    EXPECT_EQ(code(key.vk, 0), 0x100 + key.scan_code) << key.vk;
    EXPECT_EQ(code(key.vk, kShift), 0x100 + key.scan_code) << key.vk;
    EXPECT_EQ(code(key.vk, kAnyAlt), 0x150 + key.scan_code) << key.vk;
  }
  // Punctuation with Alt: 0x100 plus the scan code, except minus and equals, which continue
  // the digit row's series (Alt+1 0x178 ... Alt+0 0x181).
  const struct {
    uint16_t vk;
    int alt;
  } kPunctuationAlt[] = {{0xDC, 0x12B}, {0xBF, 0x135}, {0xBD, 0x182}, {0xBB, 0x183},
                         {0xDB, 0x11A}, {0xDD, 0x11B}, {0xBA, 0x127}, {0xDE, 0x128},
                         {0xBC, 0x133}, {0xBE, 0x134}, {0xC0, 0x129}};
  for (const auto& key : kPunctuationAlt) EXPECT_EQ(code(key.vk, kAnyAlt), key.alt) << key.vk;
}

TEST(KeyTable, NonLetterKeysIgnoreTheCharacterInTheCodeRule) {
  EXPECT_EQ(code(0x70, 0, 'x'), 0x13B);
  EXPECT_EQ(code(0xBA, 0, 'x'), 0x3B);
  EXPECT_EQ(code(0xE2, 0, 'x'), -1);  // no row
}

// The cells that follow no series, each as the key tables give it (-1: the key yields nothing
// in that state).
struct IrregularRow {
  const char* key;
  uint16_t vk;
  int plain, shift, ctrl, alt;
};

constexpr int kNone = -1;

// clang-format off
const IrregularRow kIrregularRows[] = {
    {"Backspace",       0x08, 0x08,  0x08,  0x7F,  0x10E},
    {"Tab",             0x09, 0x09,  0x10F, 0x194, 0x1A5},
    {"Enter",           0x0D, 0x0D,  0x0D,  0x0A,  0x1A6},
    {"Esc",             0x1B, 0x1B,  0x1B,  0x1B,  0x101},
    {"Space",           0x20, 0x20,  0x20,  0x103, 0x20},
    {"keypad multiply", 0x6A, 0x2A,  0x2A,  0x196, 0x137},
    {"keypad add",      0x6B, 0x2B,  0x2B,  0x190, 0x14E},
    {"keypad subtract", 0x6D, 0x2D,  0x2D,  0x18E, 0x14A},
    {"keypad point",    0x6E, 0x2E,  0x2E,  0x153, 0x193},
    {"keypad divide",   0x6F, 0x2F,  0x2F,  0x195, 0x1A4},
    {"backslash",       0xDC, 0x5C,  0x7C,  0x1C,  0x12B},
    {"slash",           0xBF, 0x2F,  0x3F,  kNone, 0x135},
    {"minus",           0xBD, 0x2D,  0x5F,  0x1F,  0x182},
    {"equals",          0xBB, 0x3D,  0x2B,  kNone, 0x183},
    {"left bracket",    0xDB, 0x5B,  0x7B,  0x1B,  0x11A},
    {"right bracket",   0xDD, 0x5D,  0x7D,  0x1D,  0x11B},
    {"semicolon",       0xBA, 0x3B,  0x3A,  kNone, 0x127},
    {"apostrophe",      0xDE, 0x27,  0x22,  kNone, 0x128},
    {"comma",           0xBC, 0x2C,  0x3C,  kNone, 0x133},
    {"period",          0xBE, 0x2E,  0x3E,  kNone, 0x134},
    {"grave accent",    0xC0, 0x60,  0x7E,  kNone, 0x129},
    {"Page Up",         0x21, 0x149, 0x149, 0x184, 0x199},
    {"Page Down",       0x22, 0x151, 0x151, 0x176, 0x1A1},
    {"End",             0x23, 0x14F, 0x14F, 0x175, 0x19F},
    {"Home",            0x24, 0x147, 0x147, 0x177, 0x197},
    {"Left",            0x25, 0x14B, 0x14B, 0x173, 0x19B},
    {"Up",              0x26, 0x148, 0x148, 0x18D, 0x198},
    {"Right",           0x27, 0x14D, 0x14D, 0x174, 0x19D},
    {"Down",            0x28, 0x150, 0x150, 0x191, 0x1A0},
    {"Insert",          0x2D, 0x152, 0x152, 0x192, 0x1A2},
    {"Delete",          0x2E, 0x153, 0x153, 0x193, 0x1A3},
};
// clang-format on

TEST(KeyTable, IrregularCellsHoldTheirCodes) {
  for (const IrregularRow& row : kIrregularRows) {
    EXPECT_EQ(code(row.vk, 0), row.plain) << row.key;
    EXPECT_EQ(code(row.vk, kShift), row.shift) << row.key << " with Shift";
    EXPECT_EQ(code(row.vk, kAnyCtrl), row.ctrl) << row.key << " with Ctrl";
    EXPECT_EQ(code(row.vk, kAnyAlt), row.alt) << row.key << " with Alt";
  }
}

}  // namespace
