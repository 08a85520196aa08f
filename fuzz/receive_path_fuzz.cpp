// libFuzzer target: the receive path fed any device bytes in reads of any size, over a disk that
// takes each write out in pieces of any size. It turns each read as the logger's loop does: the
// read lands NUL-terminated in a buffer of its own size, the line buffer takes it, and a completed
// line logs the reading at its head. At the end the file must hold one well-formed record per
// completed line, every one of them, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logger/decimal_prefix.h"
#include "logger/line_buffer.h"
#include "logger/measurement_log.h"
#include "logger/record_format.h"
#include "record_text.h"
#include "scripted_log_file.h"

namespace {

// The logged value of the record at `*at`, which then moves past its CR LF.
bool parse_record(const std::string& log, size_t* at, int32_t* logged) {
  const size_t end = log.find("\r\n", *at);
  if (end == std::string::npos) return false;
  const std::string record = log.substr(*at, end - *at);
  *at = end + 2;
  return parse_record_text(record, logged);
}

void check_line_buffer(const LineBuffer& line) {
  if (line.length >= kLineBufferSize) std::abort();
  if (line.text[line.length] != '\0' || std::strlen(line.text) != line.length) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte shapes the disk: how much of each write it takes (0: all of it).
  const size_t piece = data[0] % 16;
  ++data;
  --size;
  scripted_log_file = ScriptedLogFile{};
  for (int i = 0; piece > 0 && i < 4096; ++i) scripted_log_file.takes.push_back(long(piece));
  if (!open_measurement_log()) std::abort();

  static LineBuffer line;
  line_buffer_clear(&line);
  int32_t reading = 0;
  std::vector<int32_t> readings;
  // Each read: two bytes of size (1 to 999, what the loop asks for at most), then its bytes.
  size_t i = 0;
  while (i + 2 <= size) {
    size_t count = 1 + (size_t(data[i]) << 8 | data[i + 1]) % 999;
    i += 2;
    if (count > size - i) count = size - i;
    // A buffer of exactly the read and its NUL, so that reading past either shows.
    std::vector<char> received(data + i, data + i + count);
    received.push_back('\0');
    i += count;
    line_buffer_append(&line, received.data());
    check_line_buffer(line);
    if (line_buffer_has_newline(line)) {
      scan_decimal_prefix(line.text, &reading);
      append_reading(reading);
      readings.push_back(reading);
      line_buffer_clear(&line);
    }
  }
  close_measurement_log();
  if (scripted_log_file.open) std::abort();

  // Every record is on disk, in order, and each is the reading minus 512 as 32-bit arithmetic.
  const std::string& log = scripted_log_file.contents;
  size_t at = 0;
  for (int32_t read_value : readings) {
    int32_t logged = 0;
    if (!parse_record(log, &at, &logged)) std::abort();
    if (uint32_t(logged) + uint32_t(kReadingOffset) != uint32_t(read_value)) std::abort();
  }
  if (at != log.size()) std::abort();
  return 0;
}
