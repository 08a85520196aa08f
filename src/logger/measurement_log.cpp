#include "logger/measurement_log.h"

#include <cstring>

#include "logger/record_format.h"
#include "logger/text_mode.h"

bool open_measurement_log(MeasurementLog* log, const LogFileService& file) {
  log->file = file;
  log->held = 0;
  log->open = file.create(file.context, kMeasurementLogName);
  return log->open;
}

// Hands the held records to the system. Whatever it refuses is dropped: keeping it would only
// delay the next batch behind a failing disk.
void write_out_measurement_log(MeasurementLog* log) {
  if (!log->open || log->held == 0) return;
  char on_disk[2 * kLogBufferSize];
  const size_t length = expand_line_ends(log->buffer, log->held, on_disk);
  log->held = 0;
  write_fully(log->file.write, log->file.context, on_disk, length);
}

void append_reading(MeasurementLog* log, int32_t reading) {
  char record[kMaxRecordLength + 1];
  const size_t length = format_record(reading, record);
  if (log->held + length > kLogBufferSize) write_out_measurement_log(log);
  std::memcpy(log->buffer + log->held, record, length);
  log->held += length;
}

void close_measurement_log(MeasurementLog* log) {
  if (!log->open) return;
  write_out_measurement_log(log);
  log->file.close(log->file.context);
  log->open = false;
}
