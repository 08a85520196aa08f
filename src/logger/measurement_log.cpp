#include "logger/measurement_log.h"

#include "logger/record_format.h"

bool open_measurement_log(MeasurementLog* log, const LogFileService& file) {
  log->times = RecordFile{};
  return open_record_file(&log->records, file, kMeasurementLogName, log->buffer, kLogBufferSize);
}

bool open_times(MeasurementLog* log, const LogFileService& file, const ProcessService& clock) {
  log->clock = clock;
  log->time_taken = false;
  if (!open_record_file(&log->times, file, kTimesFileName, log->times_buffer, kTimesBufferSize)) {
    return false;
  }
  // On a disk short of room the measurement comes first.
  log->times.after = &log->records;
  add_record(&log->times, kTimesHeader, sizeof kTimesHeader - 1);
  return true;
}

void append_reading(MeasurementLog* log, int32_t reading) {
  char record[kMaxRecordLength + 1];
  add_record(&log->records, record, format_record(reading, record));
  if (!log->times.open) return;
  if (!log->time_taken) {
    const WallTime now = log->clock.wall_clock(log->clock.context);
    log->time_length = format_local_time(now, log->time_text);
    log->time_taken = true;
  }
  char row[kMostRowLength];
  add_record(&log->times, row, format_time_row(log->time_text, log->time_length, reading, row));
}

uint64_t close_measurement_log(MeasurementLog* log) {
  const uint64_t unwritten = close_record_file(&log->records);
  log->rows_unwritten = close_record_file(&log->times);
  // The header is no row: when even it could not be written, it is not counted.
  if (log->rows_unwritten > 0 && log->times.records_in_file == 0) --log->rows_unwritten;
  return unwritten;
}
