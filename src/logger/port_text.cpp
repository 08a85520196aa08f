#include "logger/port_text.h"

namespace {

constexpr PortTexts kShiftJis = {
    "\x83\x7C\x81\x5B\x83\x67",
    "\x82\xCD\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\n",
    "\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD\n",
    "DCB\x82\xCC\x83\x5A\x83\x62\x83\x67\x82\xC5\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\n",
};

constexpr PortTexts kUtf8 = {
    "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88",
    "\xE3\x81\xAF\xE9\x96\x8B\xE3\x81\x91\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\n",
    "\xE3\x82\x92\xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x97\xE3\x83\xB3\xE3\x81\x97\xE3\x81\xBE\xE3\x81"
    "\x97"
    "\xE3\x81\x9F\n",
    "DCB\xE3\x81\xAE\xE3\x82\xBB\xE3\x83\x83\xE3\x83\x88\xE3\x81\xA7\xE5\xA4\xB1\xE6\x95\x97\xE3"
    "\x81"
    "\x97\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\n",
};

// The code page that reads the Shift_JIS bytes as they are meant.
constexpr char kShiftJisCodePage[] = "CP932";

char upper(char c) {
  return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// "UTF-8" as glibc names it, and the spellings other C libraries and locale names use.
bool is_utf8(const char* name) {
  const char* wanted[] = {"UTF-8", "UTF8"};
  for (const char* spelling : wanted) {
    const char* a = name;
    const char* b = spelling;
    while (*a != '\0' && upper(*a) == *b) ++a, ++b;
    if (*a == '\0' && *b == '\0') return true;
  }
  return false;
}

bool same_name(const char* name, const char* wanted) {
  while (*name != '\0' && upper(*name) == *wanted) ++name, ++wanted;
  return *name == '\0' && *wanted == '\0';
}

}  // namespace

const PortWideTexts kPortWideTexts = {
    u"\u30DD\u30FC\u30C8",
    u"\u306F\u958B\u3051\u307E\u305B\u3093\n",
    u"\u3092\u30AA\u30FC\u30D7\u30F3\u3057\u307E\u3057\u305F\n",
    u"DCB\u306E\u30BB\u30C3\u30C8\u3067\u5931\u6557\u3057\u307E\u3057\u305F\n",
};

bool port_texts_as_wide_text(bool to_terminal, const char* character_set, bool takes_wide_text) {
  return to_terminal && takes_wide_text && character_set != nullptr &&
         !same_name(character_set, kShiftJisCodePage);
}

const PortTexts& port_texts_for(bool to_terminal, const char* character_set) {
  return to_terminal && character_set != nullptr && is_utf8(character_set) ? kUtf8 : kShiftJis;
}
