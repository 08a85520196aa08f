// The run's files: test.dat, the measurement, one record per completed line, and beside it
// test.csv, a row per record with the time its line came. One table says what each file is: its
// name, its line, its place in the order (test.dat first, the others after it on a disk short of
// room). This unit makes, adds to, writes out, tells of and closes them all, each through its
// record file (logger/record_file.h): held in a buffer and written out when a line no longer
// fits, once the oldest has waited a second, and at the end; what a disk refuses is kept and
// written when it can be. Its state is its own, behind the functions below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/log_file.h"
#include "platform/process.h"

constexpr const char* kMeasurementLogName = "test.dat";

// test.dat's held record text is counted before each LF becomes CR LF on disk.
constexpr size_t kLogBufferSize = 512;

// What the run keeps of what its disks refuse, all its files together: over two hours of 5-byte
// lines at the wire's full 115200 baud (13.8 KB of records a second). test.csv takes at most a
// quarter of it, so that the measurement keeps the rest.
constexpr size_t kMostBacklogBytes = size_t(128) << 20;

struct MeasurementLog;

// What the operator is to be told of the run's files.
enum class LogNewsKind {
  kNotMade,      // the file could not be made: `failure` says why
  kRefused,      // it stopped taking records: `failure` says why
  kLeavesRoom,   // it waits while its disk has little room left, which is kept for the first
  kBacklogFull,  // the run holds all it may of what the disks refuse: later lines are counted
  kCaughtUp,     // it takes lines again: `count` held ones were written
  kPutBack,      // its name led elsewhere: a new file under it holds the run's lines
  kEmptied,      // another program emptied or shortened it: the lines go on at its end
  kUnwritten,    // at the end: `count` lines of the run are not in it
};

struct LogNews {
  LogNewsKind kind;
  const char* file;   // "test.dat"
  const char* lines;  // what its lines are: "records", "rows"
  const char* holds;  // what it holds for the run: "the times" of test.csv
  const char* first;  // the run's first file, "test.dat"
  // With kCaughtUp and kUnwritten, lines; in MiB the bound with kBacklogFull, the room kept for
  // the first with kLeavesRoom.
  uint64_t count;
  LogFileFailure failure;  // with kNotMade and kRefused
};

// Makes the run's files through `maker`, the earlier run kept, and starts their buffers; test.csv
// takes its times from `clock`. What the disks refuse is kept up to `backlog_bound` bytes. Null
// only when there is no memory for it; a log whose test.dat could not be made is not open, and
// tells why as news.
MeasurementLog* open_measurement_log(const LogFileMaker& maker, const ProcessService& clock,
                                     size_t backlog_bound = kMostBacklogBytes);

// Whether test.dat was made: the run logs.
bool measurement_log_is_open(const MeasurementLog* log);

// Where test.dat is, and the name of the run before it, for the operator.
LogFilePlace measurement_log_place(const MeasurementLog* log);

// The files made beside test.dat, by name: the `index`-th of them, or null past the last.
const char* companion_file(const MeasurementLog* log, int index);

// A read of the port begins: the lines it completes share one time, taken at the first of them.
void start_read(MeasurementLog* log);

// Adds the record of `reading` minus 512, and its line to every other file.
void append_reading(MeasurementLog* log, int32_t reading);

// Whether anything waits for the clock.
bool log_waits_for_clock(const MeasurementLog* log);

// When the clock is next due for any file (see record_file_deadline); -1 when nothing waits.
int64_t log_deadline(const MeasurementLog* log);

// The look at the clock: each file's held lines written out once the oldest has waited a second,
// what a disk refused offered again as often; test.dat first.
void write_out_when_due(MeasurementLog* log, int64_t now_ms);

// Writes out every held line now, for a run that cannot say when the next comes.
void write_out_held_lines(MeasurementLog* log);

// Whether there is news to take.
bool log_has_news(const MeasurementLog* log);

// Takes the oldest news, test.dat's first; false when there is none.
bool take_log_news(MeasurementLog* log, LogNews* news);

// Writes out everything at the end of the run, with one more offer of what a disk refused; what
// a file lacks then is news. The files stay open, so that their news can be told.
void end_measurement_log(MeasurementLog* log);

// The run's records that test.dat holds.
uint64_t records_in_measurement_log(const MeasurementLog* log);

// Whether test.dat holds every record of the run, once ended.
bool measurement_log_is_whole(const MeasurementLog* log);

// Closes the files and lets go of the log.
void close_measurement_log(MeasurementLog* log);
