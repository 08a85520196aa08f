#include "logger/measurement_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "record_text.h"
#include "scripted_log_file.h"

namespace {

std::string repeated(const std::string& text, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += text;
  return all;
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

TEST_F(LogBuffer, AWriteOutTheDiskRefusesIsKeptAndWrittenInOrderAtClose) {
  file_.takes = {60, -1};
  append_times(102, 600);
  append(700);  // its arrival causes the failing write-out
  EXPECT_EQ(file_.contents.size(), 60u);
  append(701);
  EXPECT_EQ(close_measurement_log(&log_), 0u);
  EXPECT_EQ(file_.contents,
            repeated(expected_record(600), 102) + expected_record(700) + expected_record(701));
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

// The log as the routine runs it: records as a device sends them, and a look at the clock every
// few milliseconds, over a disk that fills up, gets room again, or loses the file's name.
class TimedLog : public LogBuffer {
 protected:
  void look(int64_t now_ms) {
    if (record_file_waiting(&log_.records)) write_out_when_due(&log_.records, now_ms);
    news_.push_back(take_record_file_news(&log_.records));
  }
  // The news in the order it came, each kind once per run of it.
  std::vector<unsigned> news() const {
    std::vector<unsigned> said;
    for (unsigned bits : news_) {
      if (bits != 0) said.push_back(bits);
    }
    return said;
  }
  // A new log over a new disk, for the next case of a table.
  void start_again() {
    TearDown();
    file_ = ScriptedLogFile();
    news_.clear();
    SetUp();
  }
  std::vector<unsigned> news_;
};

// Whether `log` is the first records of `expected`, each whole.
::testing::AssertionResult whole_records_of(const std::string& log, const std::string& expected) {
  if (expected.compare(0, log.size(), log) != 0) {
    return ::testing::AssertionFailure() << "not in order: " << log;
  }
  if (!log.empty() && log.back() != '\n') {
    return ::testing::AssertionFailure() << "a torn record at " << log.size();
  }
  return ::testing::AssertionSuccess();
}

TEST_F(TimedLog, AHeldRecordWaitsASecondAtMost) {
  append(600);
  look(0);
  look(999);
  EXPECT_EQ(file_.contents, "");
  look(1000);
  EXPECT_EQ(file_.contents, expected_record(600));
  append(601);
  look(1500);
  append(602);
  look(2000);
  look(2499);
  EXPECT_EQ(file_.write_sizes.size(), 1u);
  look(2500);
  EXPECT_EQ(file_.contents, expected_records(600, 3));
  EXPECT_EQ(file_.write_sizes.size(), 2u);
}

// At every pace each record is on disk within a second of its arrival, and a write costs a
// batch at speed or a second when the device is slow.
TEST_F(TimedLog, EveryPaceHasItsRecordsOnDiskWithinASecondAndFewWrites) {
  for (int64_t pace_ms : {1, 7, 100, 333, 1500}) {
    SCOPED_TRACE(pace_ms);
    start_again();
    constexpr int64_t kRunMs = 20000;
    std::vector<int64_t> arrivals;
    for (int64_t now = 0; now <= kRunMs; ++now) {
      if (now % pace_ms == 0) {
        append(int32_t(1000 + arrivals.size()));
        arrivals.push_back(now);
      }
      look(now);
      const size_t on_disk = file_.contents.size() / 6;
      for (size_t i = on_disk; i < arrivals.size(); ++i) {
        ASSERT_LT(now - arrivals[i], 1000) << "record " << i << " still held at " << now;
      }
    }
    const size_t batches = (arrivals.size() * 5 + kLogBufferSize - 1) / kLogBufferSize;
    EXPECT_LE(file_.write_sizes.size(),
              std::min<size_t>(arrivals.size(), batches + kRunMs / 1000 + 1));
    close();
    EXPECT_EQ(file_.contents, expected_records(1000, int(arrivals.size())));
  }
}

TEST_F(TimedLog, WhatTheDiskRefusesIsKeptInOrderAndWrittenWhenThereIsRoom) {
  const struct {
    const char* name;
    long room;             // bytes the disk takes before it is full
    bool can_cut;          // false: a device, whose file cannot be shortened
    int64_t room_made_ms;  // -1: never, the run ends while it is full
  } cases[] = {
      {"full from the start", 0, true, 3000},
      {"full after 50 records", 300, true, 2000},
      {"full in the middle of a record", 303, true, 2000},
      {"in the middle of a record that cannot be cut off", 303, false, 2000},
      {"full to the end", 303, true, -1},
      {"full to the end, in a record that cannot be cut off", 303, false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_again();
    file_.room = c.room;
    file_.can_cut = c.can_cut;
    const std::string expected = expected_records(1000, 1000);
    size_t writes_while_full = 0;
    for (int64_t now = 0; now < 5000; ++now) {
      if (now == c.room_made_ms) {
        writes_while_full = file_.write_sizes.size();
        file_.room = -1;
      }
      if (now % 5 == 0) append(int32_t(1000 + now / 5));
      look(now);
      if (c.can_cut) {
        ASSERT_TRUE(whole_records_of(file_.contents, expected)) << now;
      } else {
        ASSERT_EQ(expected.compare(0, file_.contents.size(), file_.contents), 0) << now;
      }
    }
    // While the disk was full it was asked about once a second, not at every record.
    if (c.room_made_ms >= 0) {
      EXPECT_LE(writes_while_full, size_t(c.room_made_ms / 1000 + 3));
    }
    const uint64_t unwritten = close_measurement_log(&log_);
    const std::string& log = file_.contents;
    const size_t whole = log.size() / 6;
    if (c.room_made_ms >= 0) {
      EXPECT_EQ(log, expected);
      EXPECT_EQ(unwritten, 0u);
      EXPECT_EQ(news(), (std::vector<unsigned>{kNewsRefused, kNewsCaughtUp}));
    } else {
      EXPECT_EQ(unwritten, 1000u - whole);
      EXPECT_EQ(news(), std::vector<unsigned>{kNewsRefused});
      if (c.can_cut) {
        EXPECT_EQ(log.size() % 6, 0u);
      }
    }
  }
}

TEST_F(TimedLog, RecordsBeyondTheBacklogsBoundAreCountedNotKept) {
  log_.records.backlog_limit = 128 * 1024;
  file_.room = 0;
  constexpr int kRecords = 40000;  // 240 KB on disk
  for (int i = 0; i < kRecords; ++i) {
    append(1000 + i);
    if (i % 100 == 0) look(i);
  }
  file_.room = -1;
  const uint64_t unwritten = close_measurement_log(&log_);
  const std::string& log = file_.contents;
  // What was kept is the oldest records, whole and in order; the rest is counted.
  EXPECT_GT(log.size(), 100000u);
  EXPECT_LE(log.size(), 128u * 1024 + kLogBufferSize * 2);
  EXPECT_TRUE(whole_records_of(log, expected_records(1000, kRecords)));
  EXPECT_EQ(unwritten, uint64_t(kRecords) - uint64_t(std::count(log.begin(), log.end(), '\n')));
  EXPECT_EQ(news(), (std::vector<unsigned>{kNewsRefused, kNewsBacklogFull}));
}

TEST_F(TimedLog, AFileThatLosesItsNameIsPutBackWithEveryRecord) {
  const struct {
    const char* name;
    int refused_replacements;  // looks at which a new file cannot be made yet
    std::vector<unsigned> news;
  } cases[] = {
      {"a new file at once", 0, {kNewsReplaced}},
      {"a new file only later", 3, {kNewsRefused, kNewsReplaced | kNewsCaughtUp}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_again();
    append_times(10, 600);
    look(0);
    look(1000);
    file_.in_place = std::deque<bool>(size_t(c.refused_replacements) + 1, false);
    file_.refuse_replace = c.refused_replacements > 0;
    int later = 0;
    for (int64_t now = 1001; now < 6000; ++now) {
      if (now % 100 == 0) {
        append(700);
        ++later;
      }
      if (file_.in_place.size() == 1) file_.refuse_replace = false;
      look(now);
    }
    EXPECT_EQ(close_measurement_log(&log_), 0u);
    EXPECT_EQ(file_.replacements, 1);
    EXPECT_EQ(file_.contents,
              repeated(expected_record(600), 10) + repeated(expected_record(700), later));
    EXPECT_EQ(news(), c.news);
  }
}

TEST_F(TimedLog, AFileRemovedForGoodLosesItsRecordsAndSaysHowMany) {
  append_times(10, 600);
  look(0);
  look(1000);
  append_times(5, 601);
  file_.in_place = std::deque<bool>(100, false);
  file_.refuse_replace = true;
  EXPECT_EQ(close_measurement_log(&log_), 15u);
}

// test.csv beside test.dat on one disk short of room: its rows wait while test.dat holds records
// back, so that it never takes the room the measurement needs, and follow once test.dat has them
// all on disk.
TEST_F(TimedLog, TheTimesWaitForTheMeasurementOnADiskShortOfRoom) {
  ScriptedLogFile times;
  ProcessService clock = {};
  clock.wall_clock = [](void*) { return WallTime{1796808601234000, 32400}; };
  ASSERT_TRUE(open_times(&log_, log_file_of(&times), clock));
  std::vector<unsigned> times_news;
  const auto look_at_both = [&](int64_t now) {
    look(now);
    if (record_file_waiting(&log_.times)) write_out_when_due(&log_.times, now);
    const unsigned news = take_record_file_news(&log_.times);
    if (news != 0) times_news.push_back(news);
  };
  file_.room = 0;
  for (int64_t now = 0; now < 3000; ++now) {
    if (now % 10 == 0) {
      start_read(&log_);
      append(600);
    }
    look_at_both(now);
  }
  EXPECT_EQ(file_.contents, "");
  EXPECT_TRUE(times.write_sizes.empty()) << "test.csv wrote while test.dat waited for room";
  file_.room = -1;
  for (int64_t now = 3000; now < 6000; ++now) look_at_both(now);
  EXPECT_EQ(file_.contents, repeated(expected_record(600), 300));
  EXPECT_EQ(times.contents,
            "time,reading,value\r\n" + repeated("2026-12-09T18:30:01.234+09:00,600,88\r\n", 300));
  // Only test.dat was refused: test.csv has nothing to tell.
  EXPECT_EQ(news(), (std::vector<unsigned>{kNewsRefused, kNewsCaughtUp}));
  EXPECT_EQ(times_news, std::vector<unsigned>{});
  // A disk with less than a megabyte free keeps it for test.dat: test.csv waits, to the end.
  times.room = long(kRoomKeptForTheFirst) - 1;
  const size_t written = times.contents.size();
  for (int64_t now = 6000; now < 9000; ++now) {
    if (now % 10 == 0) {
      start_read(&log_);
      append(601);
    }
    look_at_both(now);
  }
  close();
  EXPECT_EQ(file_.contents,
            repeated(expected_record(600), 300) + repeated(expected_record(601), 300));
  EXPECT_EQ(times.contents.size(), written);
  EXPECT_EQ(log_.rows_unwritten, 300u);
  EXPECT_EQ(times_news, std::vector<unsigned>{kNewsLeavesRoom});
}

}  // namespace
