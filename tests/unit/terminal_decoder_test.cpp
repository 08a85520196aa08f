#include "keys/terminal_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "decoded_keys.h"
#include "keys/key_codes.h"
#include "scripted_console.h"

namespace {

using namespace std::string_literals;  // "\0"s keeps a NUL byte

constexpr uint32_t S = kShift;
constexpr uint32_t C = kLeftCtrl;
constexpr uint32_t A = kLeftAlt;
constexpr int64_t kStart = 1000;

// A decoded key as the tests write it: virtual-key code, character byte, modifier bits.
struct Key {
  uint16_t vk;
  int character;  // 0 to 255
  uint32_t modifiers;
  bool operator==(const Key& other) const {
    return vk == other.vk && character == other.character && modifiers == other.modifiers;
  }
};

std::ostream& operator<<(std::ostream& os, const Key& key) {
  return os << "{vk 0x" << std::hex << key.vk << ", char 0x" << key.character << ", mods 0x"
            << key.modifiers << std::dec << "}";
}

std::vector<Key> keys_of(const std::vector<KeyRecord>& records) {
  std::vector<Key> keys;
  for (const KeyRecord& r : records) {
    EXPECT_TRUE(r.is_key_event && r.key_down);
    keys.push_back(Key{r.virtual_key, static_cast<unsigned char>(r.character), r.control_state});
  }
  return keys;
}

void feed(TerminalDecoder* decoder, const std::string& bytes, int64_t now,
          std::vector<KeyRecord>* out) {
  feed_into(decoder, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), now, out);
}

// What one decoding of `parts`, all arriving at kStart, gives before the deadline and after it.
struct Decoded {
  std::vector<Key> at_once;
  bool waiting;
  std::vector<Key> all;  // once the deadline has passed
};

Decoded decode(const std::vector<std::string>& parts,
               TerminalFamily family = TerminalFamily::kXterm) {
  TerminalDecoder decoder;
  decoder.family = family;
  std::vector<KeyRecord> out;
  for (const std::string& part : parts) feed(&decoder, part, kStart, &out);
  Decoded d;
  d.at_once = keys_of(out);
  int64_t deadline = 0;
  d.waiting = terminal_decoder_waiting(decoder, &deadline);
  if (d.waiting) {
    EXPECT_EQ(deadline, kStart + kEscapeWaitMs);
  }
  expire_into(&decoder, kStart + kEscapeWaitMs, &out);
  d.all = keys_of(out);
  EXPECT_FALSE(terminal_decoder_waiting(decoder, &deadline));
  return d;
}

constexpr TerminalFamily kLinux = TerminalFamily::kLinuxConsole;

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::vector<Key> keys;
  bool held;  // the last key comes only once the deadline has passed
  TerminalFamily family = TerminalFamily::kXterm;
};

std::string overlong_parameters() {
  return "\033[" + std::string(60, '1');
}

const DecodeCase kDecodeCases[] = {
    // Printable ASCII as US-keyboard keys.
    {"lower_q", "q", {{0x51, 'q', 0}}, false},
    {"upper_q", "Q", {{0x51, 'Q', S}}, false},
    {"digit", "1", {{0x31, '1', 0}}, false},
    {"exclamation", "!", {{0x31, '!', S}}, false},
    {"space", " ", {{0x20, ' ', 0}}, false},
    {"tilde", "~", {{0xC0, '~', S}}, false},
    {"backslash", "\\", {{0xDC, '\\', 0}}, false},
    {"quote", "\"", {{0xDE, '"', S}}, false},
    {"several_keys",
     "ab\033[Aq",
     {{0x41, 'a', 0}, {0x42, 'b', 0}, {0x26, 0, 0}, {0x51, 'q', 0}},
     false},
    // Control bytes.
    {"ctrl_a", "\x01", {{0x41, 0x01, C}}, false},
    {"ctrl_z", "\x1a", {{0x5A, 0x1A, C}}, false},
    {"ctrl_h", "\x08", {{0x48, 0x08, C}}, false},
    {"ctrl_space", "\0"s, {{0x20, 0, C}}, false},
    {"enter", "\r", {{0x0D, 0x0D, 0}}, false},
    {"tab", "\t", {{0x09, 0x09, 0}}, false},
    {"backspace", "\x7f", {{0x08, 0x08, 0}}, false},
    {"ctrl_backslash", "\x1c", {{0xDC, 0x1C, C}}, false},
    {"ctrl_6", "\x1e", {{0x36, 0x1E, C}}, false},
    {"ctrl_minus", "\x1f", {{0xBD, 0x1F, C}}, false},
    // ESC alone and ESC before a key.
    {"esc_alone", "\033", {{0x1B, 0x1B, 0}}, true},
    {"alt_x", "\033x", {{0x58, 0, A}}, false},
    {"alt_shift_x", "\033X", {{0x58, 0, S | A}}, false},
    {"alt_1", "\0331", {{0x31, 0, A}}, false},
    {"alt_backspace", "\033\x7f", {{0x08, 0, A}}, false},
    {"alt_enter", "\033\r", {{0x0D, 0, A}}, false},
    {"ctrl_alt_a", "\033\x01", {{0x41, 0, C | A}}, false},
    {"alt_esc", "\033\033", {{0x1B, 0, A}}, true},
    {"alt_esc_then_key", "\033\033x", {{0x1B, 0, A}, {0x58, 'x', 0}}, false},
    {"alt_left_bracket", "\033[", {{0xDB, 0, A}}, true},
    {"alt_o", "\033O", {{0x4F, 0, S | A}}, true},
    {"alt_left_bracket_then_enter", "\033[\r", {{0xDB, 0, A}, {0x0D, 0x0D, 0}}, false},
    {"alt_o_then_ctrl_c", "\033O\x03", {{0x4F, 0, S | A}, {0x43, 0x03, C}}, false},
    // Cursor block, CSI and SS3.
    {"csi_up", "\033[A", {{0x26, 0, 0}}, false},
    {"csi_down", "\033[B", {{0x28, 0, 0}}, false},
    {"csi_right", "\033[C", {{0x27, 0, 0}}, false},
    {"csi_left", "\033[D", {{0x25, 0, 0}}, false},
    {"csi_home", "\033[H", {{0x24, 0, 0}}, false},
    {"csi_end", "\033[F", {{0x23, 0, 0}}, false},
    {"ss3_up", "\033OA", {{0x26, 0, 0}}, false},
    {"ss3_left", "\033OD", {{0x25, 0, 0}}, false},
    {"ss3_home", "\033OH", {{0x24, 0, 0}}, false},
    {"ss3_end", "\033OF", {{0x23, 0, 0}}, false},
    // VT220 and rxvt tilde keys.
    {"vt220_home", "\033[1~", {{0x24, 0, 0}}, false},
    {"insert", "\033[2~", {{0x2D, 0, 0}}, false},
    {"delete", "\033[3~", {{0x2E, 0, 0}}, false},
    {"vt220_end", "\033[4~", {{0x23, 0, 0}}, false},
    {"page_up", "\033[5~", {{0x21, 0, 0}}, false},
    {"page_down", "\033[6~", {{0x22, 0, 0}}, false},
    {"rxvt_home", "\033[7~", {{0x24, 0, 0}}, false},
    {"rxvt_end", "\033[8~", {{0x23, 0, 0}}, false},
    // Function keys.
    {"xterm_f1", "\033OP", {{0x70, 0, 0}}, false},
    {"xterm_f4", "\033OS", {{0x73, 0, 0}}, false},
    {"old_xterm_f1", "\033[11~", {{0x70, 0, 0}}, false},
    {"old_xterm_f4", "\033[14~", {{0x73, 0, 0}}, false},
    {"f5", "\033[15~", {{0x74, 0, 0}}, false},
    {"f6", "\033[17~", {{0x75, 0, 0}}, false},
    {"f10", "\033[21~", {{0x79, 0, 0}}, false},
    {"f11", "\033[23~", {{0x7A, 0, 0}}, false},
    {"f12", "\033[24~", {{0x7B, 0, 0}}, false},
    {"linux_f1", "\033[[A", {{0x70, 0, 0}}, false},
    {"linux_f5", "\033[[E", {{0x74, 0, 0}}, false},
    // The xterm modifier parameter and its older forms.
    {"ctrl_up", "\033[1;5A", {{0x26, 0, C}}, false},
    {"shift_f5", "\033[15;2~", {{0x74, 0, S}}, false},
    {"ctrl_f8", "\033[19;5~", {{0x77, 0, C}}, false},
    {"alt_f10", "\033[21;3~", {{0x79, 0, A}}, false},
    {"alt_f1", "\033[1;3P", {{0x70, 0, A}}, false},
    {"shift_ctrl_alt_home", "\033[1;8H", {{0x24, 0, S | A | C}}, false},
    {"meta_counts_as_alt", "\033[1;9A", {{0x26, 0, A}}, false},
    {"old_csi_ctrl_up", "\033[5A", {{0x26, 0, C}}, false},
    {"old_ss3_ctrl_up", "\033O5A", {{0x26, 0, C}}, false},
    {"old_ss3_shift_f1", "\033O2P", {{0x70, 0, S}}, false},
    {"back_tab", "\033[Z", {{0x09, 0, S}}, false},
    // rxvt's modifier marks, arrows and shifted function keys.
    {"rxvt_shift_page_up", "\033[5$", {{0x21, 0, S}}, false},
    {"rxvt_ctrl_f1", "\033[11^", {{0x70, 0, C}}, false},
    {"rxvt_ctrl_shift_insert", "\033[2@", {{0x2D, 0, S | C}}, false},
    {"rxvt_shift_up", "\033[a", {{0x26, 0, S}}, false},
    {"rxvt_ctrl_left", "\033Od", {{0x25, 0, C}}, false},
    {"rxvt_shift_f3", "\033[25~", {{0x72, 0, S}}, false},
    {"rxvt_shift_f5", "\033[28~", {{0x74, 0, S}}, false},
    {"rxvt_shift_f10", "\033[34~", {{0x79, 0, S}}, false},
    // The Linux console with a distribution's keymap: Shift+F1 to F8 are F13 to F20.
    {"linux_shift_f1", "\033[25~", {{0x70, 0, S}}, false, kLinux},
    {"linux_shift_f2", "\033[26~", {{0x71, 0, S}}, false, kLinux},
    {"linux_shift_f3", "\033[28~", {{0x72, 0, S}}, false, kLinux},
    {"linux_shift_f5", "\033[31~", {{0x74, 0, S}}, false, kLinux},
    {"linux_shift_f8", "\033[34~", {{0x77, 0, S}}, false, kLinux},
    {"linux_f11", "\033[23~", {{0x7A, 0, 0}}, false, kLinux},
    {"linux_console_f1", "\033[[A", {{0x70, 0, 0}}, false, kLinux},
    {"linux_pause", "\033[P", {}, false, kLinux},
    {"linux_pause_then_key", "\033[Pq", {{0x51, 'q', 0}}, false, kLinux},
    {"linux_vt220_home", "\033[1~", {{0x24, 0, 0}}, false, kLinux},
    {"xterm_csi_p_is_f1", "\033[P", {{0x70, 0, 0}}, false},
    // Application keypad and the keypad centre.
    {"keypad_0", "\033Op", {{0x60, 0, 0}}, false},
    {"keypad_9", "\033Oy", {{0x69, 0, 0}}, false},
    {"keypad_multiply", "\033Oj", {{0x6A, 0, 0}}, false},
    {"keypad_add", "\033Ok", {{0x6B, 0, 0}}, false},
    {"keypad_subtract", "\033Om", {{0x6D, 0, 0}}, false},
    {"keypad_decimal", "\033On", {{0x6E, 0, 0}}, false},
    {"keypad_divide", "\033Oo", {{0x6F, 0, 0}}, false},
    {"keypad_enter", "\033OM", {{0x0D, 0, 0}}, false},
    {"xterm_centre", "\033[E", {{0x0C, 0, 0}}, false},
    {"linux_centre", "\033[G", {{0x0C, 0, 0}}, false},
    // ESC before a whole sequence.
    {"alt_up", "\033\033[A", {{0x26, 0, A}}, false},
    {"alt_ss3_f1", "\033\033OP", {{0x70, 0, A}}, false},
    {"ctrl_alt_up", "\033\033[1;5A", {{0x26, 0, C | A}}, false},
    // Non-ASCII characters: keys without a row, first byte as the character.
    {"two_byte_character", "\xc3\xa9", {{0, 0xC3, 0}}, false},
    {"three_byte_character", "\xe2\x82\xac", {{0, 0xE2, 0}}, false},
    {"four_byte_character", "\xf0\x9f\x98\x80", {{0, 0xF0, 0}}, false},
    {"cut_off_character", "\xc3", {{0, 0xC3, 0}}, true},
    {"broken_character", "\xc3q", {{0, 0xC3, 0}, {0x51, 'q', 0}}, false},
    {"stray_continuation_byte", "\xa9", {{0, 0xA9, 0}}, false},
    {"alt_non_ascii", "\033\xc3\xa9", {{0, 0, A}}, false},
    // Unknown and broken sequences are swallowed whole.
    {"unknown_tilde_number", "\033[99~", {}, false},
    {"unknown_final", "\033[1;5Y", {}, false},
    {"mouse_report", "\033[<0;3;4M", {}, false},
    {"x10_mouse_report", "\033[M q!", {}, false},
    {"x10_mouse_report_then_key", "\033[M q!x", {{0x58, 'x', 0}}, false},
    {"x10_mouse_report_of_any_bytes", "\033[M\x1b\xff\x03", {}, false},
    {"cut_off_x10_mouse_report", "\033[M q", {}, true},
    {"x10_mouse_report_on_linux", "\033[M q!", {}, false, kLinux},
    {"device_attributes", "\033[?1;2c", {}, false},
    {"mode_report", "\033[?1;2$y", {}, false},
    {"three_parameters", "\033[1;2;3A", {}, false},
    {"sub_parameters", "\033[1:5A", {}, false},
    {"intermediate_byte", "\033[ A", {}, false},
    {"unknown_linux_key", "\033[[Z", {}, false},
    {"linux_key_broken_by_enter", "\033[[\r", {{0x0D, 0x0D, 0}}, false},
    {"unknown_ss3", "\033Oz", {}, false},
    {"unknown_then_key", "\033[99~q", {{0x51, 'q', 0}}, false},
    {"cut_off_sequence", "\033[1;5", {}, true},
    {"cut_off_linux_key", "\033[[", {}, true},
    {"broken_by_esc", "\033[1;5\033x", {{0x58, 0, A}}, false},
    {"broken_by_control_byte", "\033[1\x03", {{0x43, 0x03, C}}, false},
    {"overlong_then_key", overlong_parameters() + "~q", {{0x51, 'q', 0}}, false},
    {"overlong_broken_by_enter", overlong_parameters() + "\r", {{0x0D, 0x0D, 0}}, false},
};

class TerminalDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(TerminalDecode, WholeAndSplitAtEveryOffset) {
  const DecodeCase& c = GetParam();
  const Decoded whole = decode({c.bytes}, c.family);
  EXPECT_EQ(whole.all, c.keys);
  EXPECT_EQ(whole.waiting, c.held);
  if (!c.held) {
    EXPECT_EQ(whole.at_once, c.keys);
  }
  for (size_t cut = 1; cut < c.bytes.size(); ++cut) {
    const Decoded split = decode({c.bytes.substr(0, cut), c.bytes.substr(cut)}, c.family);
    EXPECT_EQ(split.at_once, whole.at_once) << "split at " << cut;
    EXPECT_EQ(split.all, whole.all) << "split at " << cut;
    EXPECT_EQ(split.waiting, whole.waiting) << "split at " << cut;
  }
  std::vector<std::string> bytes;
  for (char b : c.bytes) bytes.push_back(std::string(1, b));
  const Decoded one_by_one = decode(bytes, c.family);
  EXPECT_EQ(one_by_one.at_once, whole.at_once);
  EXPECT_EQ(one_by_one.all, whole.all);
}

INSTANTIATE_TEST_SUITE_P(Terminal, TerminalDecode, testing::ValuesIn(kDecodeCases),
                         [](const testing::TestParamInfo<DecodeCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(TerminalAscii, EveryByteIsItsOwnKeyCodeWithItsCharacter) {
  for (int b = 0x01; b <= 0x7E; ++b) {
    if (b == 0x1B) continue;
    SCOPED_TRACE(b);
    TerminalDecoder decoder;
    std::vector<KeyRecord> out;
    feed(&decoder, std::string(1, static_cast<char>(b)), kStart, &out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(static_cast<unsigned char>(out[0].character), b);
    // The key table gives the same code for the key and modifiers the decoder chose.
    EXPECT_EQ(key_record_code(out[0]), b);
  }
}

TEST(TerminalAscii, AltKeysCarryNoCharacterAndHaveAnAltCode) {
  for (int b = 0x00; b <= 0x7F; ++b) {
    if (b == 0x1B || b == '[' || b == 'O') continue;
    SCOPED_TRACE(b);
    TerminalDecoder decoder;
    std::vector<KeyRecord> out;
    feed(&decoder, "\033"s + static_cast<char>(b), kStart, &out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].character, 0);
    EXPECT_TRUE(out[0].control_state & A);
    EXPECT_NE(key_record_code(out[0]), -1);
  }
}

TEST(TerminalTiming, LoneEscWaitsForItsDeadline) {
  TerminalDecoder decoder;
  std::vector<KeyRecord> out;
  feed(&decoder, "\033", 0, &out);
  int64_t deadline = 0;
  ASSERT_TRUE(terminal_decoder_waiting(decoder, &deadline));
  EXPECT_EQ(deadline, kEscapeWaitMs);
  expire_into(&decoder, kEscapeWaitMs - 1, &out);
  EXPECT_TRUE(out.empty());
  expire_into(&decoder, kEscapeWaitMs, &out);
  EXPECT_EQ(keys_of(out), (std::vector<Key>{{0x1B, 0x1B, 0}}));
}

TEST(TerminalTiming, KeyBeforeTheDeadlineIsAltKeyAfterItTwoKeys) {
  const struct {
    int64_t x_at;
    std::vector<Key> keys;
  } kCases[] = {
      {kEscapeWaitMs - 1, {{0x58, 0, A}}},
      {kEscapeWaitMs, {{0x1B, 0x1B, 0}, {0x58, 'x', 0}}},
  };
  for (const auto& c : kCases) {
    TerminalDecoder decoder;
    std::vector<KeyRecord> out;
    feed(&decoder, "\033", 0, &out);
    feed(&decoder, "x", c.x_at, &out);
    EXPECT_EQ(keys_of(out), c.keys) << "x at " << c.x_at;
  }
}

TEST(TerminalTiming, EachByteRestartsTheWait) {
  TerminalDecoder decoder;
  std::vector<KeyRecord> out;
  feed(&decoder, "\033", 0, &out);
  feed(&decoder, "[", 40, &out);
  feed(&decoder, "", 80, &out);  // an empty read is no byte
  expire_into(&decoder, 40 + kEscapeWaitMs - 1, &out);
  EXPECT_TRUE(out.empty());
  expire_into(&decoder, 40 + kEscapeWaitMs, &out);
  EXPECT_EQ(keys_of(out), (std::vector<Key>{{0xDB, 0, A}}));
}

TEST(TerminalTiming, DroppingAnOverlongSequenceEndsAtTheDeadline) {
  const struct {
    int64_t digit_at;
    std::vector<Key> keys;
  } kCases[] = {
      {kEscapeWaitMs - 1, {}},            // still part of the dropped sequence
      {kEscapeWaitMs, {{0x35, '5', 0}}},  // typed after the sequence was given up
  };
  for (const auto& c : kCases) {
    TerminalDecoder decoder;
    std::vector<KeyRecord> out;
    feed(&decoder, overlong_parameters(), 0, &out);
    feed(&decoder, "5", c.digit_at, &out);
    EXPECT_EQ(keys_of(out), c.keys) << "digit at " << c.digit_at;
  }
}

// Random input, heavy in sequence bytes, decodes the same however it is cut into reads.
TEST(TerminalSplit, RandomInputDecodesTheSameInAnyPieces) {
  const std::string alphabet = "\033\033\033[[O;;0123456789~$^@ABPZapyq\r\x7f\xc3\xa9\x03<?";
  std::mt19937 random(12345);
  for (int round = 0; round < 500; ++round) {
    std::string bytes;
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) bytes += alphabet[random() % alphabet.size()];
    std::vector<std::string> pieces;
    for (size_t at = 0; at < bytes.size();) {
      const size_t size = 1 + random() % 5;
      pieces.push_back(bytes.substr(at, size));
      at += size;
    }
    const Decoded whole = decode({bytes});
    const Decoded cut = decode(pieces);
    EXPECT_EQ(cut.at_once, whole.at_once) << testing::PrintToString(bytes);
    EXPECT_EQ(cut.all, whole.all) << testing::PrintToString(bytes);
  }
}

struct CodesCase {
  const char* name;
  std::string bytes;
  std::vector<int> codes;
  TerminalFamily family = TerminalFamily::kXterm;
};

const CodesCase kCodesCases[] = {
    {"q", "q", {0x71}},
    {"page_down", "\033[6~", {0, 0x51}},
    {"f1", "\033OP", {0, 0x3B}},
    {"f11", "\033[23~", {0, 0x85}},
    {"shift_f5", "\033[15;2~", {0, 0x58}},
    {"ctrl_f8", "\033[19;5~", {0, 0x65}},
    {"alt_f10", "\033[21;3~", {0, 0x71}},
    {"alt_1", "\0331", {0, 0x78}},
    {"alt_x", "\033x", {0, 0x2D}},
    {"ctrl_up", "\033[1;5A", {0, 0x8D}},
    {"back_tab", "\033[Z", {0, 0x0F}},
    {"shift_insert", "\033[2;2~", {0, 0x52}},
    {"keypad_3", "\033Os", {0x33}},
    {"enter", "\r", {0x0D}},
    {"backspace", "\x7f", {0x08}},
    {"esc", "\033", {0x1B}},
    {"ctrl_c", "\x03", {0x03}},
    {"ctrl_space", "\0"s, {0, 0x03}},
    {"non_ascii_alone", "\xc3\xa9", {}},
    {"non_ascii_then_q", "\xc3\xa9q", {-61, 0x71}},
    {"keypad_centre", "\033[E", {}},
    {"keypad_enter", "\033OM", {0x0D}},
    {"rxvt_shift_f5", "\033[28~", {0, 0x58}},
    {"linux_shift_f3", "\033[28~", {0, 0x56}, kLinux},
    {"linux_shift_f5", "\033[31~", {0, 0x58}, kLinux},
    {"x10_mouse_report_with_q", "\033[M q!", {}},
};

class TerminalCodes : public testing::TestWithParam<CodesCase> {};

TEST_P(TerminalCodes, BytesGiveTheseKeyCodes) {
  const CodesCase& c = GetParam();
  TerminalDecoder decoder;
  decoder.family = c.family;
  std::vector<KeyRecord> out;
  feed(&decoder, c.bytes, kStart, &out);
  expire_into(&decoder, kStart + kEscapeWaitMs, &out);
  // The decoded keys through the key logic, as the logger sees them turn by turn.
  ScriptedConsole console;
  console.queue.assign(out.begin(), out.end());
  KeyState state;
  EXPECT_EQ(run_turns(&console, &state), c.codes);
}

INSTANTIATE_TEST_SUITE_P(Terminal, TerminalCodes, testing::ValuesIn(kCodesCases),
                         [](const testing::TestParamInfo<CodesCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(TerminalFamilyOf, TheLinuxConsoleIsKnownByItsName) {
  const struct {
    const char* term;
    TerminalFamily family;
  } cases[] = {
      {"linux", kLinux},
      {"linux-16color", kLinux},
      {"xterm-256color", TerminalFamily::kXterm},
      {"rxvt-unicode", TerminalFamily::kXterm},
      {"screen.linux", TerminalFamily::kXterm},  // tmux and screen send their own sequences
      {"linuxish", TerminalFamily::kXterm},
      {"", TerminalFamily::kXterm},
      {nullptr, TerminalFamily::kXterm},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(terminal_family_of(c.term), c.family) << (c.term ? c.term : "no TERM");
  }
}

}  // namespace
