// The measurement log test.dat: one record per completed line, held in a 512-byte buffer and
// written out when a record no longer fits, once the oldest has waited a second, and at close;
// what the disk refuses is kept and written when it can be.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logger/record_file.h"
#include "platform/log_file.h"

constexpr const char* kMeasurementLogName = "test.dat";

// The held record text is counted before each LF becomes CR LF on disk.
constexpr size_t kLogBufferSize = 512;

struct MeasurementLog {
  RecordFile records;
  char buffer[kLogBufferSize];  // whole records only, all later than those on disk
};

// Creates test.dat in the working directory through `file`, the earlier one kept; false when
// that is not possible.
bool open_measurement_log(MeasurementLog* log, const LogFileService& file);

// Adds the record of `reading` minus 512.
void append_reading(MeasurementLog* log, int32_t reading);

// Writes out every held record and closes the file. Returns how many records of the run the
// file does not hold.
uint64_t close_measurement_log(MeasurementLog* log);
