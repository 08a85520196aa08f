// The port messages as the logger writes them, Shift_JIS bytes with each line ending in CR LF.
#pragma once

#include <string>

inline const char kSettingsRefusedMessage[] =
    "DCB\x82\xCC\x83\x5A\x83\x62\x83\x67\x82\xC5\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD"
    "\r\n";

inline std::string port_opened_message(const std::string& port) {
  return "\x83\x7C\x81\x5B\x83\x67" + port +
         "\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD\r\n";
}

inline std::string port_not_opened_message(const std::string& port) {
  return "\x83\x7C\x81\x5B\x83\x67" + port + "\x82\xCD\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\r\n";
}
