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

// test.csv's header line, CR LF included.
inline const std::string kTimesHeaderLine = "time,utc_offset_minutes,reading,value\r\n";

// Whether `row`, a line of test.csv without its CR LF, is the row of `reading`: a local time
// "2026-12-09T18:30:01.234", its offset from UTC in minutes, the reading and its value.
inline bool is_time_row_of(const std::string& row, int32_t reading) {
  const char shape[] = "dddd-dd-ddTdd:dd:dd.ddd,";
  const size_t time_length = sizeof shape - 1;
  if (row.size() <= time_length) return false;
  for (size_t i = 0; i < time_length; ++i) {
    const bool digit = row[i] >= '0' && row[i] <= '9';
    if (shape[i] == 'd' ? !digit : row[i] != shape[i]) return false;
  }
  size_t at = time_length + (row[time_length] == '-' ? 1 : 0);
  const size_t digits = row.find_first_not_of("0123456789", at);
  if (digits == std::string::npos || digits == at || row[digits] != ',') return false;
  return row.compare(digits + 1, std::string::npos,
                     std::to_string(reading) + "," +
                         std::to_string(int32_t(uint32_t(reading) - 512u))) == 0;
}
