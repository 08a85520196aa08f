// The three port messages in the bytes that make their Japanese text on the console: Shift_JIS
// (CP932), as Windows writes them and as stored console logs and scripts have them, or UTF-8 for
// a terminal that reads UTF-8; or as UTF-16 text for a Windows console of another code page,
// which shows UTF-16 text whatever its code page. Nothing else the logger writes depends on the
// character set.
#pragma once

struct PortTexts {
  const char* port;              // ポート, before the port's name
  const char* cannot_be_opened;  // は開けません, after the name, with the line end
  const char* opened;            // をオープンしました, after the name, with the line end
  const char* settings_refused;  // DCBのセットで失敗しました, a line of its own
};

// UTF-8 when standard output is a terminal whose character set, as the platform names it
// ("UTF-8"; null where the console converts by itself), is UTF-8; Shift_JIS otherwise.
const PortTexts& port_texts_for(bool to_terminal, const char* character_set);

// The same texts in UTF-16.
struct PortWideTexts {
  const char16_t* port;
  const char16_t* cannot_be_opened;
  const char16_t* opened;
  const char16_t* settings_refused;
};
extern const PortWideTexts kPortWideTexts;

// Whether the port messages go as UTF-16 text: where standard output is a console that takes
// text (`takes_wide_text`) and shows bytes in a code page (`character_set`, "CP437") that is not
// 932, in which the Shift_JIS bytes would be other characters.
bool port_texts_as_wide_text(bool to_terminal, const char* character_set, bool takes_wide_text);
