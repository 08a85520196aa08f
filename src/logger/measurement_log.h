// The measurement log test.dat: one record per completed line, held in a 512-byte buffer and
// written out when a record no longer fits and at close.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* kMeasurementLogName = "test.dat";

// The held record text is counted before each LF becomes CR LF on disk.
constexpr size_t kLogBufferSize = 512;

// Creates or empties test.dat in the working directory; false when that is not possible.
bool open_measurement_log();

// Adds the record of `reading` minus 512.
void append_reading(int32_t reading);

// Writes out every held record and closes the file.
void close_measurement_log();
