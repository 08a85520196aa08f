#include "logger/measurement_log.h"

#include "logger/record_format.h"

bool open_measurement_log(MeasurementLog* log, const LogFileService& file) {
  return open_record_file(&log->records, file, kMeasurementLogName, log->buffer, kLogBufferSize);
}

void append_reading(MeasurementLog* log, int32_t reading) {
  char record[kMaxRecordLength + 1];
  add_record(&log->records, record, format_record(reading, record));
}

uint64_t close_measurement_log(MeasurementLog* log) {
  return close_record_file(&log->records);
}
