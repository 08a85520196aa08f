// The measurement log test.dat: one record per completed line, held in a 512-byte buffer and
// written out when a record no longer fits and at close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/log_file.h"

constexpr const char* kMeasurementLogName = "test.dat";

// The held record text is counted before each LF becomes CR LF on disk.
constexpr size_t kLogBufferSize = 512;

struct MeasurementLog {
  LogFileService file;
  bool open;
  char buffer[kLogBufferSize];  // whole records only, all later than those on disk
  size_t held;
};

// Creates or empties test.dat in the working directory through `file`; false when that is not
// possible.
bool open_measurement_log(MeasurementLog* log, const LogFileService& file);

// Adds the record of `reading` minus 512.
void append_reading(MeasurementLog* log, int32_t reading);

// Writes out every held record now, for a run that cannot say when the next record comes.
void write_out_measurement_log(MeasurementLog* log);

// Writes out every held record and closes the file.
void close_measurement_log(MeasurementLog* log);
