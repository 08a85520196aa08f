#include "logger/measurement_log.h"

#include <cstring>

#include "logger/record_format.h"
#include "logger/text_mode.h"

namespace {

// Hands the held records to the system. Whatever it refuses is dropped: keeping it would only
// delay the next batch behind a failing disk.
void write_out_log_buffer(MeasurementLog* log) {
  char on_disk[2 * kLogBufferSize];
  const size_t length = expand_line_ends(log->buffer, log->held, on_disk);
  log->held = 0;
  write_fully(log->file.write, log->file.context, on_disk, length);
}

}  // namespace

bool open_measurement_log(MeasurementLog* log, const LogFileService& file) {
  log->file = file;
  log->held = 0;
  log->open = file.create(file.context, kMeasurementLogName);
  return log->open;
}

void append_reading(MeasurementLog* log, int32_t reading) {
  char record[kMaxRecordLength + 1];
  const size_t length = format_record(reading, record);
  if (log->held + length > kLogBufferSize) write_out_log_buffer(log);
  std::memcpy(log->buffer + log->held, record, length);
  log->held += length;
}

void close_measurement_log(MeasurementLog* log) {
  if (!log->open) return;
  if (log->held > 0) write_out_log_buffer(log);
  log->file.close(log->file.context);
  log->open = false;
}
