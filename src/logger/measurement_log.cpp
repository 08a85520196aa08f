#include "logger/measurement_log.h"

#include <cstring>

#include "logger/log_file.h"
#include "logger/record_format.h"
#include "logger/text_mode.h"

namespace {

LogFile* g_log_file = nullptr;
char g_log_buffer[kLogBufferSize];
size_t g_held = 0;

// Hands the held records to the system, retrying what it takes only in part. Whatever it refuses
// is dropped: keeping it would only delay the next batch behind a failing disk.
void write_out_log_buffer() {
  char on_disk[2 * kLogBufferSize];
  const size_t length = expand_line_ends(g_log_buffer, g_held, on_disk);
  g_held = 0;
  for (size_t written = 0; written < length;) {
    const long taken = log_file_write(g_log_file, on_disk + written, length - written);
    if (taken <= 0) return;
    written += size_t(taken);
  }
}

}  // namespace

bool open_measurement_log() {
  g_log_file = log_file_create(kMeasurementLogName);
  g_held = 0;
  return g_log_file != nullptr;
}

void append_reading(int32_t reading) {
  char record[kMaxRecordLength + 1];
  const size_t length = format_record(reading, record);
  if (g_held + length > kLogBufferSize) write_out_log_buffer();
  std::memcpy(g_log_buffer + g_held, record, length);
  g_held += length;
}

void close_measurement_log() {
  if (g_log_file == nullptr) return;
  if (g_held > 0) write_out_log_buffer();
  log_file_close(g_log_file);
  g_log_file = nullptr;
}
