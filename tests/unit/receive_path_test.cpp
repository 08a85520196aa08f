#include "logger/receive_path.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "record_text.h"
#include "scripted_log_file.h"

namespace {

using Reads = std::vector<std::string>;

// What the receiver made of a series of reads: the echo of each read, the records on disk and
// the head left waiting in the line buffer.
struct Received {
  std::vector<std::string> echoes;
  std::string log;
  std::string waiting;
};

Received receive_reads(const Reads& reads) {
  ScriptedRun files;
  files.files[1].refuse_make = true;
  MeasurementLog* log = open_measurement_log(maker_of(&files), ProcessService{});
  EXPECT_TRUE(measurement_log_is_open(log));
  Receiver receiver;
  start_receiving(&receiver);
  Received received;
  for (const std::string& read : reads) {
    char echo[kEchoSize];
    const size_t length = receive_bytes(&receiver, log, read.data(), read.size(), echo);
    received.echoes.emplace_back(echo, length);
    EXPECT_EQ(receiver.line[receiver.line_length], '\0');
  }
  end_measurement_log(log);
  close_measurement_log(log);
  received.log = files.files[0].contents;
  received.waiting.assign(receiver.line, receiver.line_length);
  return received;
}

std::string records_of(const std::vector<int32_t>& readings) {
  std::string records;
  for (int32_t reading : readings) records += expected_record(reading);
  return records;
}

// A read of up to 999 bytes in the buffer of a read: the NUL and what follows are part of it.
std::string bytes(const char* text, size_t length) {
  return std::string(text, length);
}

TEST(ReceivePath, EveryCompletedLineIsEchoedOnceAndLogged) {
  const struct {
    const char* name;
    Reads reads;
    std::vector<std::string> echoes;  // one per read
    std::vector<int32_t> readings;
    std::string waiting;
  } cases[] = {
      {"one line in one read", {"600\r\n"}, {"600\r\n"}, {600}, ""},
      {"one line over three reads", {"6", "00\r", "\n"}, {"", "", "600\r\n"}, {600}, ""},
      {"two lines in one read", {"100\r\n200\r\n"}, {"100\r\n200\r\n"}, {100, 200}, ""},
      {"the head of the next line waits for its LF",
       {"100\r\n20", "0\r\n"},
       {"100\r\n", "200\r\n"},
       {100, 200},
       ""},
      {"a line without a number logs the previous reading",
       {"600\r\nabc\r\n\r\n"},
       {"600\r\nabc\r\n\r\n"},
       {600, 600, 600},
       ""},
      {"before any number that reading is 0", {" \r\n"}, {" \r\n"}, {0}, ""},
      {"signs, prefixes and wrapping",
       {"+5\n-7\n0x1F\n4294967295\n2147483648\n"},
       {"+5\n-7\n0x1F\n4294967295\n2147483648\n"},
       {5, -7, 0, -1, INT32_MIN},
       ""},
      {"a percent sign is text", {"%d%s\n"}, {"%d%s\n"}, {0}, ""},
      {"a NUL is dropped and the bytes after it count",
       {bytes("12\0"
              "34\n5\0\n",
              9)},
       {"1234\n5\n"},
       {1234, 5},
       ""},
      {"a NUL alone in a read", {bytes("7\0", 2), "\n"}, {"", "7\n"}, {7}, ""},
      {"bytes after the last LF wait", {"1\n2\n3"}, {"1\n2\n"}, {1, 2}, "3"},
      {"many lines in one read",
       {"1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n"},
       {"1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n"},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Received received = receive_reads(c.reads);
    EXPECT_EQ(received.echoes, c.echoes);
    EXPECT_EQ(received.log, records_of(c.readings));
    EXPECT_EQ(received.waiting, c.waiting);
  }
}

TEST(ReceivePath, AnOverlongLineKeepsItsHeadAndItsLfAndTheNextLineIsWhole) {
  const std::string nines(999, '9');
  const Received received = receive_reads({nines, nines, nines, "88\r\n700\r\n"});
  const std::string head(998, '9');
  EXPECT_EQ(received.echoes, (std::vector<std::string>{"", "", "", head + "\n700\r\n"}));
  int32_t head_reading = 0;
  for (int i = 0; i < 998; ++i) head_reading = int32_t(uint32_t(head_reading) * 10u + 9u);
  EXPECT_EQ(received.log, records_of({head_reading, 700}));
}

TEST(ReceivePath, AHeadCutShortByTheBufferReadsOnlyWhatWasKept) {
  // 998 blanks fill the head; the digits behind them are dropped with the rest of the line.
  const Received received = receive_reads({"41\n", std::string(998, ' ') + "5\n"});
  EXPECT_EQ(received.log, records_of({41, 41}));
  EXPECT_EQ(received.echoes[1], std::string(998, ' ') + "\n");
}

TEST(ReceivePath, TextBehindTheLastLfFillsTheBufferButNeverOverflowsIt) {
  const Received received = receive_reads({"1\n" + std::string(997, 'z'), std::string(999, 'z')});
  EXPECT_EQ(received.echoes, (std::vector<std::string>{"1\n", ""}));
  EXPECT_EQ(received.waiting, std::string(998, 'z'));
}

// Streams cut into three reads at every pair of offsets give the records and the echo of the
// stream read whole.
TEST(ReceivePath, AStreamCutAnywhereGivesTheSameRecordsAndEcho) {
  const struct {
    std::string stream;
    std::vector<int32_t> readings;
  } cases[] = {
      {"600\r\n601\r\n-602\r\n", {600, 601, -602}},
      {"1\n\n-3\r\nabc\r\n42", {1, 1, -3, -3}},
      {bytes("12\0"
             "3\r\n4\0\n\0",
             10),
       {123, 4}},
  };
  for (const auto& c : cases) {
    std::string whole_echo;
    for (char byte : c.stream.substr(0, c.stream.rfind('\n') + 1)) {
      if (byte != '\0') whole_echo += byte;
    }
    for (size_t first = 0; first <= c.stream.size(); ++first) {
      for (size_t second = first; second <= c.stream.size(); ++second) {
        SCOPED_TRACE(testing::Message()
                     << c.readings.size() << " lines cut at " << first << ", " << second);
        const Received received =
            receive_reads({c.stream.substr(0, first), c.stream.substr(first, second - first),
                           c.stream.substr(second)});
        EXPECT_EQ(received.log, records_of(c.readings));
        std::string echo;
        for (const std::string& part : received.echoes) {
          // A read's echo ends with a line: a head is never shown before its LF.
          if (!part.empty()) {
            EXPECT_EQ(part.back(), '\n');
          }
          echo += part;
        }
        EXPECT_EQ(echo, whole_echo);
      }
    }
  }
}

}  // namespace
