// Records of test.dat as the tests expect them: built from known readings, or, where the tests
// cannot know the readings behind them (floods, fuzzing), checked for their shape.
#pragma once

#include <cstdint>
#include <string>

// The record that `reading` makes in test.dat, CR LF included: the reading minus 512, wrapped
// to 32 bits, right-aligned in four places.
inline std::string expected_record(int32_t reading) {
  const std::string number = std::to_string(int32_t(uint32_t(reading) - 512u));
  return std::string(number.size() < 4 ? 4 - number.size() : 0, ' ') + number + "\r\n";
}

// The records that readings first .. first + count - 1 make.
inline std::string expected_records(int32_t first, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += expected_record(first + i);
  return text;
}

// Readings first .. first + count - 1 sent as lines ending in CR LF: the device's bytes, the
// console's echo of them (CR CR LF, the LF written as CR LF), and the records they make.
struct SentLines {
  std::string stream;
  std::string echo;
  std::string records;
};

inline SentLines sent_lines(int32_t first, int count) {
  SentLines lines;
  for (int32_t reading = first; reading < first + count; ++reading) {
    lines.stream += std::to_string(reading) + "\r\n";
    lines.echo += std::to_string(reading) + "\r\r\n";
    lines.records += expected_record(reading);
  }
  return lines;
}

// Whether `record`, a line of test.dat without its CR LF, is a record: a 32-bit decimal without
// leading zeros, right-aligned in four places. `*logged` is then its value.
inline bool parse_record_text(const std::string& record, int32_t* logged) {
  const size_t blanks = record.find_first_not_of(' ');
  if (record.size() < 4 || blanks == std::string::npos || (blanks > 0 && record.size() != 4)) {
    return false;
  }
  const std::string number = record.substr(blanks);
  const size_t sign = number[0] == '-' ? 1 : 0;
  const std::string digits = number.substr(sign);
  if (digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string::npos ||
      (digits[0] == '0' && (digits.size() > 1 || sign == 1))) {
    return false;
  }
  const long long value = std::stoll(number);
  if (value < INT32_MIN || value > INT32_MAX) return false;
  *logged = int32_t(value);
  return true;
}
