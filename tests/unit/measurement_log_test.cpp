#include "logger/measurement_log.h"

#include <gtest/gtest.h>

#include <string>

#include "logger/record_format.h"
#include "scripted_log_file.h"

namespace {

std::string record_of(int32_t reading) {
  char text[kMaxRecordLength + 1];
  return std::string(text, format_record(reading, text));
}

TEST(RecordFormat, RightAlignsTheReadingMinus512) {
  const struct {
    int32_t reading;
    const char* record;
  } cases[] = {
      {512, "   0\n"},
      {0, "-512\n"},
      {511, "  -1\n"},
      {600, "  88\n"},
      {1023, " 511\n"},
      {10511, "9999\n"},
      {10512, "10000\n"},
      {-488, "-1000\n"},
      {2147483647, "2147483135\n"},
      {-2147483136, "-2147483648\n"},
      {-2147483648, "2147483136\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(record_of(c.reading), c.record) << c.reading;
}

class LogBuffer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(open_measurement_log(&log_, log_file_of(&file_))); }
  void TearDown() override { close_measurement_log(&log_); }
  void append(int32_t reading) { append_reading(&log_, reading); }
  void append_times(int count, int32_t reading) {
    for (int i = 0; i < count; ++i) append(reading);
  }
  void close() { close_measurement_log(&log_); }

  ScriptedLogFile file_;
  MeasurementLog log_;
};

TEST_F(LogBuffer, OpensTestDat) {
  EXPECT_EQ(file_.path, "test.dat");
  EXPECT_TRUE(file_.open);
  close();
  EXPECT_FALSE(file_.open);
  EXPECT_EQ(file_.contents, "");
  EXPECT_TRUE(file_.write_sizes.empty());
}

TEST(LogBufferOpen, ReportsAFileThatCannotBeCreated) {
  ScriptedLogFile file;
  file.refuse_create = true;
  MeasurementLog log;
  EXPECT_FALSE(open_measurement_log(&log, log_file_of(&file)));
}

TEST_F(LogBuffer, HoldsRecordsUntilOneNoLongerFits) {
  append_times(102, 600);
  EXPECT_EQ(file_.contents.size(), 0u);
  append(601);
  EXPECT_EQ(file_.contents.size(), 612u);
  std::string batch;
  for (int i = 0; i < 102; ++i) batch += "  88\r\n";
  EXPECT_EQ(file_.contents, batch);
  close();
  EXPECT_EQ(file_.contents, batch + "  89\r\n");
}

TEST_F(LogBuffer, AnExactlyFullBufferWaitsForTheNextRecord) {
  append_times(100, 512);
  append_times(2, 10512);  // 100 * 5 + 2 * 6 = 512 bytes held
  EXPECT_EQ(file_.contents.size(), 0u);
  append(512);
  EXPECT_EQ(file_.contents.size(), 614u);
  EXPECT_EQ(file_.write_sizes.size(), 1u);
}

TEST_F(LogBuffer, ClosingWritesWhatIsHeld) {
  append_times(50, 0);
  EXPECT_EQ(file_.contents.size(), 0u);
  close();
  EXPECT_EQ(file_.contents.size(), 300u);
  EXPECT_EQ(file_.contents.substr(0, 6), "-512\r\n");
}

TEST_F(LogBuffer, APartialWriteIsRetriedUntilAllIsTaken) {
  file_.takes = {100, 1, 200};
  append_times(103, 600);
  EXPECT_EQ(file_.contents.size(), 612u);
  EXPECT_EQ(file_.write_sizes, (std::vector<size_t>{612, 512, 511, 311}));
}

TEST_F(LogBuffer, AFailedWriteDropsTheBatchButKeepsTheRecordThatCausedIt) {
  file_.takes = {60, -1};
  append_times(102, 600);
  append(700);  // its arrival causes the failing write-out
  EXPECT_EQ(file_.contents.size(), 60u);
  append(701);
  close();
  EXPECT_EQ(file_.contents.substr(60), " 188\r\n 189\r\n");
}

TEST_F(LogBuffer, WritesOnlyRecordText) {
  for (int32_t reading : {INT32_MIN, -1, 0, 511, 512, 99999, INT32_MAX}) append_times(40, reading);
  close();
  const std::string& file = file_.contents;
  for (size_t i = 0; i < file.size(); ++i) {
    const char c = file[i];
    ASSERT_TRUE(c == ' ' || c == '-' || (c >= '0' && c <= '9') || c == '\r' || c == '\n') << i;
    if (c == '\n') {
      ASSERT_EQ(file[i - 1], '\r') << i;
    }
  }
  EXPECT_EQ(file.size(), 40u * (12 + 6 + 6 + 6 + 6 + 7 + 12));
}

}  // namespace
