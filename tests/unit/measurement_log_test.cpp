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

const std::string kHeader = "time,utc_offset_minutes,reading,value\r\n";
const std::string kRow600 = "2026-12-09T18:30:01.234,540,600,88\r\n";

// The run's files over scripted disks: test.dat as files_.files[0], test.csv as files[1], the
// time of day always 2026-12-09T18:30:01.234 in Tokyo.
class LogBuffer : public ::testing::Test {
 protected:
  void SetUp() override { start(); }
  void TearDown() override {
    if (log_ != nullptr) close();
  }
  void start(size_t backlog_bound = kMostBacklogBytes) {
    clock_.wall_clock = [](void*) { return WallTime{1796808601234000, 32400}; };
    log_ = open_measurement_log(maker_of(&files_), clock_, backlog_bound);
    ASSERT_NE(log_, nullptr);
  }
  void append(int32_t reading) { append_reading(log_, reading); }
  void append_times(int count, int32_t reading) {
    for (int i = 0; i < count; ++i) append(reading);
  }
  // Ends the run: every line written out, what a file lacks told. Returns the records that
  // test.dat lacks.
  uint64_t end() {
    end_measurement_log(log_);
    take_news();
    uint64_t unwritten = 0;
    for (const LogNews& news : told_) {
      if (news.kind == LogNewsKind::kUnwritten && news.file == std::string("test.dat")) {
        unwritten = news.count;
      }
    }
    return unwritten;
  }
  void close() {
    end();
    close_measurement_log(log_);
    log_ = nullptr;
  }
  void take_news() {
    LogNews news;
    while (take_log_news(log_, &news)) told_.push_back(news);
  }
  // The kinds of news told of `file`, in order.
  std::vector<LogNewsKind> told_of(const std::string& file) const {
    std::vector<LogNewsKind> kinds;
    for (const LogNews& news : told_) {
      if (news.file == file && news.kind != LogNewsKind::kUnwritten) kinds.push_back(news.kind);
    }
    return kinds;
  }

  ScriptedRun files_;
  ScriptedLogFile& file_ = files_.files[0];
  ScriptedLogFile& times_ = files_.files[1];
  ProcessService clock_ = {};
  MeasurementLog* log_ = nullptr;
  std::vector<LogNews> told_;
};

TEST_F(LogBuffer, MakesTestDatThenTestCsvAndARunWithoutRecordsLeavesThemEmpty) {
  EXPECT_EQ(file_.name, "test.dat");
  EXPECT_EQ(times_.name, "test.csv");
  EXPECT_TRUE(measurement_log_is_open(log_));
  EXPECT_STREQ(companion_file(log_, 0), "test.csv");
  EXPECT_EQ(companion_file(log_, 1), nullptr);
  close();
  EXPECT_FALSE(file_.open);
  EXPECT_FALSE(times_.open);
  EXPECT_EQ(file_.contents, "");
  EXPECT_EQ(times_.contents, "");
  EXPECT_TRUE(file_.write_sizes.empty());
  EXPECT_TRUE(times_.write_sizes.empty());
}

// A file that cannot be made is told of: test.dat's ends the run before it logs; test.csv's
// costs the times only.
TEST(LogBufferOpen, AFileThatCannotBeMadeIsToldOf) {
  for (int refused : {0, 1}) {
    SCOPED_TRACE(refused);
    ScriptedRun files;
    files.files[refused].refuse_make = true;
    files.files[refused].failure.trouble = LogFileTrouble::kReadOnly;
    MeasurementLog* log = open_measurement_log(maker_of(&files), ProcessService{});
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(measurement_log_is_open(log), refused != 0);
    EXPECT_EQ(companion_file(log, 0), nullptr);
    LogNews news;
    ASSERT_TRUE(take_log_news(log, &news));
    EXPECT_EQ(news.kind, LogNewsKind::kNotMade);
    EXPECT_EQ(news.file, std::string(refused == 0 ? "test.dat" : "test.csv"));
    EXPECT_EQ(news.failure.trouble, LogFileTrouble::kReadOnly);
    EXPECT_FALSE(take_log_news(log, &news));
    close_measurement_log(log);
  }
}

TEST_F(LogBuffer, HoldsRecordsUntilOneNoLongerFits) {
  append_times(102, 600);
  EXPECT_EQ(file_.contents.size(), 0u);
  append(601);
  EXPECT_EQ(file_.contents.size(), 612u);
  const std::string batch = repeated("  88\r\n", 102);
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

TEST_F(LogBuffer, ClosingWritesWhatIsHeldAndEveryRecordHasItsRow) {
  append_times(50, 600);
  EXPECT_EQ(file_.contents.size(), 0u);
  close();
  EXPECT_EQ(file_.contents, repeated(expected_record(600), 50));
  EXPECT_EQ(times_.contents, kHeader + repeated(kRow600, 50));
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
  EXPECT_EQ(end(), 0u);
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
    if (log_waits_for_clock(log_)) write_out_when_due(log_, now_ms);
    if (log_has_news(log_)) take_news();
  }
  // A new log over new disks, for the next case of a table.
  void start_again(size_t backlog_bound = kMostBacklogBytes, bool times = true) {
    if (log_ != nullptr) close();
    files_ = ScriptedRun();
    files_.files[1].refuse_make = !times;
    told_.clear();
    start(backlog_bound);
  }
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

// Records of every length, so that a count of records that read a byte past its text would show:
// the held records of one batch follow longer ones of the batch before in the same buffer.
int32_t reading_of_every_length(int64_t i) {
  return i % 3 == 0 ? int32_t(10512 + i) : i % 3 == 1 ? int32_t(1000 + i) : int32_t(-2147483000);
}

TEST_F(TimedLog, WhatTheDiskRefusesIsKeptInOrderAndWrittenWhenThereIsRoom) {
  const struct {
    const char* name;
    long room;             // bytes the disk takes before it is full
    bool device;           // a device, whose file cannot be shortened
    int64_t room_made_ms;  // -1: never, the run ends while it is full
    bool every_length;     // records of 13, 7 and 6 bytes in turn, rather than 6 alone
  } cases[] = {
      {"full from the start", 0, false, 3000, false},
      {"full after 50 records", 300, false, 2000, false},
      {"full in the middle of a record", 303, false, 2000, false},
      {"in the middle of a record that cannot be cut off", 303, true, 2000, false},
      {"full to the end", 303, false, -1, false},
      {"full to the end, in a record that cannot be cut off", 303, true, -1, false},
      {"records of every length", 1001, false, 2000, true},
      {"records of every length, full to the end", 1001, false, -1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_again();
    file_.room = c.room;
    file_.device = c.device;
    std::string expected;
    for (int64_t now = 0; now < 5000; now += 5) {
      expected += expected_record(c.every_length ? reading_of_every_length(now / 5)
                                                 : int32_t(1000 + now / 5));
    }
    size_t writes_while_full = 0;
    uint64_t caught_up = 0;        // as told
    uint64_t waited_for_room = 0;  // records not on disk just before it was told
    uint64_t appended = 0;
    for (int64_t now = 0; now < 5000; ++now) {
      if (now == c.room_made_ms) {
        writes_while_full = file_.write_sizes.size();
        file_.room = -1;
      }
      if (now % 5 == 0) {
        append(c.every_length ? reading_of_every_length(now / 5) : int32_t(1000 + now / 5));
        ++appended;
      }
      const uint64_t on_disk =
          uint64_t(std::count(file_.contents.begin(), file_.contents.end(), '\n'));
      const size_t told = told_.size();
      look(now);
      for (size_t i = told; i < told_.size(); ++i) {
        if (told_[i].kind != LogNewsKind::kCaughtUp) continue;
        caught_up = told_[i].count;
        waited_for_room = appended - on_disk;
      }
      if (!c.device) {
        ASSERT_TRUE(whole_records_of(file_.contents, expected)) << now;
      } else {
        ASSERT_EQ(expected.compare(0, file_.contents.size(), file_.contents), 0) << now;
      }
    }
    // While the disk was full it was asked about once a second, not at every record.
    if (c.room_made_ms >= 0) {
      EXPECT_LE(writes_while_full, size_t(c.room_made_ms / 1000 + 3));
    }
    const uint64_t whole = uint64_t(std::count(file_.contents.begin(), file_.contents.end(), '\n'));
    const uint64_t unwritten = end();
    const std::string& log = file_.contents;
    if (c.room_made_ms >= 0) {
      EXPECT_EQ(log, expected);
      EXPECT_EQ(unwritten, 0u);
      EXPECT_EQ(told_of("test.dat"),
                (std::vector<LogNewsKind>{LogNewsKind::kRefused, LogNewsKind::kCaughtUp}));
      EXPECT_EQ(caught_up, waited_for_room);
      EXPECT_EQ(records_in_measurement_log(log_), 1000u);
    } else {
      EXPECT_EQ(unwritten, 1000u - whole);
      EXPECT_EQ(records_in_measurement_log(log_), whole);
      EXPECT_EQ(told_of("test.dat"), std::vector<LogNewsKind>{LogNewsKind::kRefused});
      if (!c.device) {
        EXPECT_EQ(log.back(), '\n');
      }
    }
  }
}

// What the disks refuse is kept up to one bound for the run, all its files together: a write-out
// that brings the backlog exactly to the bound is kept, the next one counted; test.csv, which
// waits while test.dat holds records back, takes at most a quarter of the bound.
TEST_F(TimedLog, WhatTheRunKeepsForItsDisksHasOneBoundAndTestCsvAQuarterOfIt) {
  constexpr size_t kBatch = 612;  // a write-out of 102 records of 6 bytes
  const struct {
    const char* name;
    size_t bound;
    int records;  // sent to a full disk, without a look at the clock
    int kept;     // records of test.dat kept, the oldest
  } cases[] = {
      {"a bound of exactly three write-outs keeps three", 3 * kBatch, 4 * 102 + 1, 306},
      {"a byte less keeps two", 3 * kBatch - 1, 4 * 102 + 1, 204},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_again(c.bound, false);
    file_.room = 0;
    append_times(c.records, 600);
    file_.room = -1;
    EXPECT_EQ(end(), uint64_t(c.records - c.kept));
    EXPECT_EQ(file_.contents, repeated(expected_record(600), c.kept));
    const std::vector<LogNewsKind> told = told_of("test.dat");
    EXPECT_EQ(std::count(told.begin(), told.end(), LogNewsKind::kBacklogFull), 1);
  }
  // Both files on full disks: test.csv's rows keep within a quarter, and the two within the bound.
  constexpr size_t kBound = 32 * 1024;
  start_again(kBound);
  file_.room = 0;
  times_.room = 0;
  constexpr int kRecords = 100 * 102;
  append_times(kRecords, 600);
  file_.room = -1;
  times_.room = -1;
  end();
  const size_t rows_kept = times_.contents.size() - kHeader.size();
  EXPECT_EQ(times_.contents, kHeader + repeated(kRow600, int(rows_kept / kRow600.size())));
  EXPECT_GT(rows_kept, 0u);
  EXPECT_LE(rows_kept + kHeader.size(), kBound / 4);
  EXPECT_EQ(file_.contents, repeated(expected_record(600), int(file_.contents.size() / 6)));
  EXPECT_LE(file_.contents.size() + times_.contents.size(), kBound);
  EXPECT_GT(file_.contents.size() + kBatch, kBound - times_.contents.size());
}

// What another program does to a file during the run: a file removed or replaced is put back
// with every record, at once or once that is possible; one emptied or shortened goes on at its
// end, without a hole; each is told once.
TEST_F(TimedLog, WhatAnotherProgramDoesToTheFileLosesNoRecord) {
  const struct {
    const char* name;
    int refused_put_backs;  // looks at which a new file cannot be made yet; -1 never
    bool emptied;
    std::vector<LogNewsKind> told;
    uint64_t unwritten;
  } cases[] = {
      {"removed: a new file at once", 0, false, {LogNewsKind::kPutBack}, 0},
      {"removed: a new file only later",
       3,
       false,
       {LogNewsKind::kRefused, LogNewsKind::kPutBack, LogNewsKind::kCaughtUp},
       0},
      {"removed for good", -1, false, {LogNewsKind::kRefused}, 10 + 49},
      {"emptied", 0, true, {LogNewsKind::kEmptied}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_again();
    append_times(10, 600);
    look(0);
    look(1000);
    ASSERT_EQ(file_.contents, repeated(expected_record(600), 10));
    if (c.emptied) {
      file_.contents.clear();
    } else {
      file_.in_place =
          std::deque<bool>(c.refused_put_backs < 0 ? 1000 : c.refused_put_backs + 1, false);
      file_.refuse_put_back = c.refused_put_backs != 0;
    }
    int later = 0;
    for (int64_t now = 1001; now < 6000; ++now) {
      if (now % 100 == 0) {
        append(700);
        ++later;
      }
      if (c.refused_put_backs > 0 && file_.in_place.size() == 1) file_.refuse_put_back = false;
      look(now);
    }
    EXPECT_EQ(end(), c.unwritten);
    EXPECT_EQ(file_.put_backs, c.emptied || c.refused_put_backs < 0 ? 0 : 1);
    if (c.refused_put_backs >= 0) {
      EXPECT_EQ(file_.contents, (c.emptied ? "" : repeated(expected_record(600), 10)) +
                                    repeated(expected_record(700), later));
      EXPECT_EQ(records_in_measurement_log(log_), uint64_t(later + (c.emptied ? 0 : 10)));
    }
    EXPECT_EQ(told_of("test.dat"), c.told);
  }
}

// test.csv beside test.dat on one disk short of room: its rows wait while test.dat holds records
// back, so that it never takes the room the measurement needs, and follow once test.dat has them
// all on disk.
TEST_F(TimedLog, TheTimesWaitForTheMeasurementOnADiskShortOfRoom) {
  file_.room = 0;
  for (int64_t now = 0; now < 3000; ++now) {
    if (now % 10 == 0) {
      start_read(log_);
      append(600);
    }
    look(now);
  }
  EXPECT_EQ(file_.contents, "");
  EXPECT_TRUE(times_.write_sizes.empty()) << "test.csv wrote while test.dat waited for room";
  file_.room = -1;
  for (int64_t now = 3000; now < 6000; ++now) look(now);
  EXPECT_EQ(file_.contents, repeated(expected_record(600), 300));
  EXPECT_EQ(times_.contents, kHeader + repeated(kRow600, 300));
  // Only test.dat was refused: test.csv has nothing to tell.
  EXPECT_EQ(told_of("test.dat"),
            (std::vector<LogNewsKind>{LogNewsKind::kRefused, LogNewsKind::kCaughtUp}));
  EXPECT_EQ(told_of("test.csv"), std::vector<LogNewsKind>{});
  // A disk with less than a megabyte free keeps it for test.dat: test.csv waits, to the end.
  times_.room = long(1 << 20) - 1;
  const size_t written = times_.contents.size();
  for (int64_t now = 6000; now < 9000; ++now) {
    if (now % 10 == 0) {
      start_read(log_);
      append(601);
    }
    look(now);
  }
  end();
  EXPECT_EQ(file_.contents,
            repeated(expected_record(600), 300) + repeated(expected_record(601), 300));
  EXPECT_EQ(times_.contents.size(), written);
  EXPECT_EQ(told_of("test.csv"), std::vector<LogNewsKind>{LogNewsKind::kLeavesRoom});
  uint64_t rows_unwritten = 0;
  for (const LogNews& news : told_) {
    if (news.kind == LogNewsKind::kUnwritten && news.file == std::string("test.csv")) {
      rows_unwritten = news.count;
    }
  }
  EXPECT_EQ(rows_unwritten, 300u);
}

}  // namespace
