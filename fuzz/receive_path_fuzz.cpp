// libFuzzer target: the receive path as the logger's loop runs it, fed any device bytes cut into
// reads of any size (1 to 999 bytes) at any pace of the clock, over a disk that takes each write
// in pieces of any size, fills up after any number of bytes, and may or may not let a record it
// took in part be cut off again. What it must give does not depend on the code under test: the
// stream read whole, line by line (NULs removed, each line's head read by the reading rule
// written out here), gives the records that test.dat must hold, in order, and the text the
// console must show, once each. While the disk is full the file holds the first of those records
// and nothing else; once it has room again, the file holds them all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "logger/receive_path.h"
#include "record_text.h"
#include "scripted_log_file.h"

namespace {

// The most of a line that counts: the rest of a longer line is dropped up to its LF.
constexpr size_t kLongestHead = 998;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The reading rule: blanks, one optional sign, decimal digits modulo 2^32.
void read_number(const std::string& head, int32_t* reading) {
  size_t at = 0;
  while (at < head.size() && is_blank(head[at])) ++at;
  bool negative = false;
  if (at < head.size() && (head[at] == '+' || head[at] == '-')) negative = head[at++] == '-';
  if (at == head.size() || head[at] < '0' || head[at] > '9') return;
  uint32_t value = 0;
  for (; at < head.size() && head[at] >= '0' && head[at] <= '9'; ++at) {
    value = value * 10u + uint32_t(head[at] - '0');
  }
  *reading = int32_t(negative ? 0u - value : value);
}

// What the whole stream must give: the records, the echo, and the head still waiting.
void expect_of(const std::string& stream, std::string* records, std::string* echo,
               std::string* waiting) {
  int32_t reading = 0;
  std::string line;
  for (char byte : stream) {
    if (byte == '\0') continue;
    if (byte != '\n') {
      if (line.size() < kLongestHead) line += byte;
      continue;
    }
    line += '\n';
    read_number(line, &reading);
    *records += expected_record(reading);
    *echo += line;
    line.clear();
  }
  *waiting = line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes shape the disk: how much of each write it takes (0: all of it); whether
  // it fills up, after how many bytes, and whether a file on it can be cut short.
  const size_t piece = data[0] % 16;
  const bool fills_up = (data[1] & 0x80) != 0;
  ScriptedRun files;
  ScriptedLogFile& file = files.files[0];
  files.files[1].refuse_make = true;
  file.room = fills_up ? long(data[1] & 0x3F) * 61 : -1;
  file.device = (data[1] & 0x40) != 0;
  data += 2;
  size -= 2;
  for (int i = 0; piece > 0 && i < 4096; ++i) file.takes.push_back(long(piece));
  MeasurementLog* log = open_measurement_log(maker_of(&files), ProcessService{});
  if (log == nullptr || !measurement_log_is_open(log)) std::abort();
  int64_t now_ms = 0;
  std::vector<std::string> on_disk;  // what the file held after each read

  Receiver receiver;
  start_receiving(&receiver);
  std::string stream;
  std::string echo;
  // Each read: two bytes of size (1 to 999, what the loop asks for at most), then its bytes.
  size_t i = 0;
  while (i + 2 <= size) {
    size_t count = 1 + (size_t(data[i]) << 8 | data[i + 1]) % kMostBytesPerRead;
    i += 2;
    if (count > size - i) count = size - i;
    // Buffers of exactly the read and of the most an echo may take, so that going past either
    // shows.
    std::vector<char> read(data + i, data + i + count);
    std::vector<char> shown(kEchoSize);
    i += count;
    const size_t length = receive_bytes(&receiver, log, read.data(), read.size(), shown.data());
    if (length > kEchoSize) std::abort();
    // One console write per read, ending with a complete line.
    if (length > 0 && shown[length - 1] != '\n') std::abort();
    echo.append(shown.data(), length);
    stream.append(read.begin(), read.end());
    // The loop's look at the clock, a read's size in milliseconds after the one before.
    now_ms += int64_t(count);
    if (log_waits_for_clock(log)) write_out_when_due(log, now_ms);
    on_disk.push_back(file.contents);
  }
  // Room at last: the end's write-out takes everything.
  file.room = -1;
  end_measurement_log(log);
  if (!measurement_log_is_whole(log)) std::abort();
  close_measurement_log(log);
  if (file.open) std::abort();

  std::string records, expected_echo, waiting;
  expect_of(stream, &records, &expected_echo, &waiting);
  if (file.contents != records) std::abort();
  for (const std::string& held : on_disk) {
    if (records.compare(0, held.size(), held) != 0) std::abort();
    // A record torn by a full disk is cut off again where the file allows it.
    if (!file.device && !held.empty() && held.back() != '\n') std::abort();
  }
  if (echo != expected_echo) std::abort();
  if (std::string(receiver.line, receiver.line_length) != waiting) std::abort();
  if (receiver.line[receiver.line_length] != '\0') std::abort();
  return 0;
}
