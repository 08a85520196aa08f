// The Windows console layer under a real console: the test writes known records into the
// console's input queue, then reads them through the key logic as the logger does.
// The console comes from Wine, given one by a pseudo-terminal (cmake/wine-run --terminal).
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "platform/console_keys.h"

namespace {

constexpr DWORD kUserMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

INPUT_RECORD key(bool down, WORD vk, char character, DWORD state = 0) {
  INPUT_RECORD record = {};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = vk;
  record.Event.KeyEvent.uChar.AsciiChar = character;
  record.Event.KeyEvent.dwControlKeyState = state;
  return record;
}

INPUT_RECORD mouse_move() {
  INPUT_RECORD record = {};
  record.EventType = MOUSE_EVENT;
  record.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
  return record;
}

class ConsoleInput : public ::testing::Test {
 protected:
  void SetUp() override {
    keys_ = open_console_keys();
    input_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(input_, INVALID_HANDLE_VALUE) << "no console: run under wine-run --terminal";
    ASSERT_TRUE(SetConsoleCP(437));
    ASSERT_TRUE(FlushConsoleInputBuffer(input_));
    ASSERT_TRUE(SetConsoleMode(input_, kUserMode));
  }
  void TearDown() override {
    // No extended code may be left pending for the next test.
    FlushConsoleInputBuffer(input_);
    while (key_pending() == 1) read_key();
    CloseHandle(input_);
  }

  void write(const std::vector<INPUT_RECORD>& records) {
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputA(input_, records.data(), DWORD(records.size()), &written));
    ASSERT_EQ(written, records.size());
  }

  DWORD queued() {
    DWORD count = 0;
    EXPECT_TRUE(GetNumberOfConsoleInputEvents(input_, &count));
    return count;
  }

  // What is queued, as virtual-key code, press and character of each record.
  std::vector<std::vector<int>> queue() {
    std::vector<INPUT_RECORD> records(queued() + 1);
    DWORD seen = 0;
    EXPECT_TRUE(PeekConsoleInputA(input_, records.data(), DWORD(records.size()), &seen));
    std::vector<std::vector<int>> seen_keys;
    for (DWORD i = 0; i < seen; ++i) {
      const KEY_EVENT_RECORD& k = records[i].Event.KeyEvent;
      seen_keys.push_back({records[i].EventType, k.wVirtualKeyCode, k.bKeyDown,
                           static_cast<unsigned char>(k.uChar.AsciiChar)});
    }
    return seen_keys;
  }

  DWORD mode() {
    DWORD current = 0;
    EXPECT_TRUE(GetConsoleMode(input_, &current));
    return current;
  }

  int key_pending() { return key_pending_from(&keys_.queue, &state_); }
  int read_key() { return read_key_from(&keys_.queue, &state_); }

  ConsoleKeys keys_;
  KeyState state_;
  HANDLE input_ = INVALID_HANDLE_VALUE;
};

TEST_F(ConsoleInput, KeyPendingLeavesTheQueueAsItWas) {
  write({key(true, VK_SHIFT, 0, SHIFT_PRESSED), mouse_move(), key(false, VK_SHIFT, 0)});
  const auto before = queue();
  ASSERT_EQ(before.size(), 3u);
  EXPECT_EQ(key_pending(), 0);
  EXPECT_EQ(queue(), before);
  write({key(true, 'A', 'a'), key(false, 'A', 'a')});
  const auto with_a = queue();
  for (int turn = 0; turn < 3; ++turn) EXPECT_EQ(key_pending(), 1);
  EXPECT_EQ(queue(), with_a);
  EXPECT_EQ(mode(), kUserMode);
}

TEST_F(ConsoleInput, ShiftPageDownGivesZeroThenQAndLeavesTheRecordsBehindIt) {
  write({key(true, VK_SHIFT, 0, SHIFT_PRESSED), key(true, VK_NEXT, 0, SHIFT_PRESSED),
         key(false, VK_NEXT, 0, SHIFT_PRESSED), key(true, 'Q', 'q')});
  ASSERT_EQ(key_pending(), 1);
  EXPECT_EQ(read_key(), 0);
  // The release and the later q are still queued, for the pending code and the next turn.
  const std::vector<std::vector<int>> behind = {{KEY_EVENT, VK_NEXT, 0, 0},
                                                {KEY_EVENT, 'Q', 1, 'q'}};
  EXPECT_EQ(queue(), behind);
  ASSERT_EQ(key_pending(), 1);
  EXPECT_EQ(read_key(), 0x51);
  EXPECT_EQ(queue(), behind);
  ASSERT_EQ(key_pending(), 1);
  EXPECT_EQ(read_key(), 'q');
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(key_pending(), 0);
}

TEST_F(ConsoleInput, ACharacterAbove127ComesBackNegative) {
  write({key(true, VK_OEM_3, '\xE0'), key(true, 'A', '\xFF')});
  ASSERT_EQ(key_pending(), 1);
  EXPECT_EQ(read_key(), -32);
  EXPECT_EQ(read_key(), -1);
}

TEST_F(ConsoleInput, ReadKeyPutsTheInputModeBack) {
  for (DWORD user_mode : {kUserMode, DWORD(kUserMode | ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT),
                          DWORD(ENABLE_PROCESSED_INPUT), DWORD(0)}) {
    ASSERT_TRUE(SetConsoleMode(input_, user_mode));
    const DWORD before = mode();
    write({key(true, 'X', 'x'), key(true, VK_F1, 0)});
    EXPECT_EQ(read_key(), 'x');
    EXPECT_EQ(mode(), before) << user_mode;
    EXPECT_EQ(read_key(), 0);
    EXPECT_EQ(read_key(), 0x3B);
    EXPECT_EQ(mode(), before) << user_mode;
  }
}

// The ANSI look at the queue may return more records than the count (two for a double-byte
// character on code page 932), and the queue may hold thousands that yield nothing, more than
// one look takes: a key behind them is still seen.
TEST_F(ConsoleInput, AKeyBehindManyRecordsIsSeen) {
  ASSERT_TRUE(SetConsoleCP(932));
  std::vector<INPUT_RECORD> hiragana(40);
  for (INPUT_RECORD& record : hiragana) {
    record = key(true, VK_PROCESSKEY, 0);
    record.Event.KeyEvent.uChar.UnicodeChar = 0x3042;
  }
  DWORD written = 0;
  ASSERT_TRUE(WriteConsoleInputW(input_, hiragana.data(), DWORD(hiragana.size()), &written));
  write({key(true, 'Q', 'q')});
  EXPECT_EQ(key_pending(), 1);
  ASSERT_TRUE(SetConsoleCP(437));
  ASSERT_TRUE(FlushConsoleInputBuffer(input_));
  write(std::vector<INPUT_RECORD>(3000, mouse_move()));
  write({key(true, 'Q', 'q')});
  EXPECT_EQ(key_pending(), 1);
  EXPECT_EQ(read_key(), 'q');
  EXPECT_EQ(queued(), 0u);
  // More than one look takes: the mouse moves ahead of the key go, a look at a time.
  write(std::vector<INPUT_RECORD>(9000, mouse_move()));
  write({key(true, 'Q', 'q')});
  int turns = 0;
  while (key_pending() == 0 && turns < 5) ++turns;
  EXPECT_EQ(turns, 1);
  EXPECT_EQ(read_key(), 'q');
  EXPECT_EQ(queued(), 0u);
}

}  // namespace
