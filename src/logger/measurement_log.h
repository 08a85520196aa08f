// The measurement log test.dat: one record per completed line, held in a 512-byte buffer and
// written out when a record no longer fits, once the oldest has waited a second, and at close;
// what the disk refuses is kept and written when it can be. Beside it, test.csv has a row per
// record with the time its line came, written the same way, always after test.dat.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logger/record_file.h"
#include "logger/time_row.h"
#include "platform/log_file.h"
#include "platform/process.h"

constexpr const char* kMeasurementLogName = "test.dat";

// The held record text is counted before each LF becomes CR LF on disk.
constexpr size_t kLogBufferSize = 512;

// test.csv's rows are held in blocks of 8 KiB: a write a block at speed.
constexpr size_t kTimesBufferSize = 8192;

struct MeasurementLog {
  RecordFile records;
  char buffer[2 * kLogBufferSize];  // whole records only, all later than those on disk
  RecordFile times;                 // test.csv, open only where it could be made
  char times_buffer[2 * kTimesBufferSize];
  ProcessService clock;
  // The time of the current read, taken at the first line it completes.
  bool time_taken;
  char time_text[kLocalTimeLength];
  size_t time_length;
  uint64_t rows_unwritten;  // of test.csv, once closed
};

// Creates test.dat in the working directory through `file`, the earlier one kept; false when
// that is not possible.
bool open_measurement_log(MeasurementLog* log, const LogFileService& file);

// Creates test.csv through `file`, the earlier one kept, with its header; its times come from
// `clock`. False when it cannot be made: the log goes on without it.
bool open_times(MeasurementLog* log, const LogFileService& file, const ProcessService& clock);

// A read of the port begins: the lines it completes share one time, taken at the first of them.
inline void start_read(MeasurementLog* log) {
  log->time_taken = false;
}

// Adds the record of `reading` minus 512, and its row to test.csv.
void append_reading(MeasurementLog* log, int32_t reading);

// Writes out every held record and row and closes both files. Returns how many records of the
// run test.dat does not hold; rows_unwritten says the same of test.csv.
uint64_t close_measurement_log(MeasurementLog* log);
