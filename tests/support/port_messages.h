// The port messages as the logger writes them, each line ending in CR LF: Shift_JIS bytes, or
// the same Japanese text in UTF-8 for a terminal that reads UTF-8.
#pragma once

#include <string>

enum class PortText { kShiftJis, kUtf8 };

inline const char kSettingsRefusedMessage[] =
    "DCB\x82\xCC\x83\x5A\x83\x62\x83\x67\x82\xC5\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD"
    "\r\n";

// Written as the text itself, so that a wrong byte in the logger's table shows.
inline std::string settings_refused_message(PortText text) {
  return text == PortText::kUtf8 ? "DCBのセットで失敗しました\r\n" : kSettingsRefusedMessage;
}

inline std::string port_opened_message(const std::string& port,
                                       PortText text = PortText::kShiftJis) {
  if (text == PortText::kUtf8) return "ポート" + port + "をオープンしました\r\n";
  return "\x83\x7C\x81\x5B\x83\x67" + port +
         "\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD\r\n";
}

inline std::string port_not_opened_message(const std::string& port,
                                           PortText text = PortText::kShiftJis) {
  if (text == PortText::kUtf8) return "ポート" + port + "は開けません\r\n";
  return "\x83\x7C\x81\x5B\x83\x67" + port + "\x82\xCD\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\r\n";
}
