#include "measurement_log.h"

#include <cstring>

#include "log_file.h"
#include "record_format.h"
#include "text_mode.h"

namespace {

LogFile* log_file = nullptr;
char log_buffer[kLogBufferSize];
size_t held = 0;

// Hands the held records to the system, retrying what it takes only in part. Whatever it refuses
// is dropped: keeping it would only delay the next batch behind a failing disk.
void write_out_log_buffer() {
  char on_disk[2 * kLogBufferSize];
  const size_t length = expand_line_ends(log_buffer, held, on_disk);
  held = 0;
  for (size_t written = 0; written < length;) {
    const long taken = log_file_write(log_file, on_disk + written, length - written);
    if (taken <= 0) return;
    written += size_t(taken);
  }
}

}  // namespace

bool open_measurement_log() {
  log_file = log_file_create(kMeasurementLogName);
  held = 0;
  return log_file != nullptr;
}

void append_reading(int32_t reading) {
  char record[kMaxRecordLength + 1];
  const size_t length = format_record(reading, record);
  if (held + length > kLogBufferSize) write_out_log_buffer();
  std::memcpy(log_buffer + held, record, length);
  held += length;
}

void close_measurement_log() {
  if (log_file == nullptr) return;
  if (held > 0) write_out_log_buffer();
  log_file_close(log_file);
  log_file = nullptr;
}
