#include "logger/record_file.h"

#include <cstdlib>
#include <cstring>

#include "logger/text_mode.h"

// Room for many write-outs, so that the backlog costs one allocation in a thousand records.
constexpr size_t kChunkSize = 64 * 1024;

struct BacklogChunk {
  BacklogChunk* next;
  size_t length;
  char bytes[kChunkSize];
};

namespace {

size_t count_line_ends(const char* bytes, size_t length) {
  size_t count = 0;
  for (size_t i = 0; i < length; ++i) count += bytes[i] == '\n';
  return count;
}

// The length of what follows the last LF of `bytes`, or `length` when there is none.
size_t after_last_line_end(const char* bytes, size_t length) {
  size_t tail = 0;
  while (tail < length && bytes[length - 1 - tail] != '\n') ++tail;
  return tail;
}

// Hands `bytes`, whole records, to the file after what it holds, until it takes all or refuses.
// Returns how many it keeps: a record it took only in part is cut off again where the file
// allows, so that the file ends in a whole record and the record is offered whole next time.
size_t write_span(RecordFile* records, const char* bytes, size_t length) {
  const LogFileService& file = records->file;
  size_t written = 0;
  while (written < length) {
    const long taken = file.write(file.context, bytes + written, length - written);
    if (taken <= 0) break;
    written += size_t(taken);
  }
  records->file_length += written;
  if (written < length) {
    const size_t tail = after_last_line_end(bytes, written);
    // A tail of the whole span continues a record torn before it, whose head this span lacks.
    const size_t torn = tail == written ? records->torn + written : tail;
    if (torn > 0 && torn <= written &&
        file.cut(file.context, records->file_length - uint64_t(torn))) {
      records->file_length -= torn;
      written -= torn;
      records->torn = 0;
    } else {
      records->torn = torn;
    }
  } else {
    records->torn = 0;
  }
  records->records_in_file += count_line_ends(bytes, written);
  return written;
}

// The name must still lead to the file: one that was removed or replaced is put back with
// everything it held. False when that is not possible yet.
bool file_in_place(RecordFile* records) {
  const LogFileService& file = records->file;
  if (file.in_place(file.context)) return true;
  uint64_t length = 0;
  if (!file.replace(file.context, &length)) return false;
  records->file_length = length;
  records->news |= kNewsReplaced;
  return true;
}

// The file itself refused: said once, until it has taken everything again.
void begin_refusal(RecordFile* records) {
  if (records->refusing) return;
  records->refusing = true;
  records->news |= kNewsRefused;
  if (records->first == nullptr) records->refused_records = 0;
  records->retry_timed = false;
}

// Whether the file it goes after holds records back, or may need the little room left: then this
// one only queues. Leaving the room is told as a refusal of its own would be.
bool waits(RecordFile* records) {
  if (records->after == nullptr) return false;
  if (records->after->first != nullptr) return true;
  const LogFileService& file = records->file;
  if (file.free_bytes(file.context) >= kRoomKeptForTheFirst + records->held_count) return false;
  if (!records->refusing) {
    records->refusing = true;
    records->news |= kNewsLeavesRoom;
    if (records->first == nullptr) records->refused_records = 0;
  }
  return true;
}

// Puts `bytes`, whole records but perhaps the first, at the end of the backlog, or counts them
// when the backlog is at its bound.
void queue(RecordFile* records, const char* bytes, size_t length) {
  const uint64_t count = count_line_ends(bytes, length);
  BacklogChunk* last = records->last;
  if (last == nullptr || kChunkSize - last->length < length) {
    BacklogChunk* chunk = nullptr;
    if (records->backlog_bytes + length <= records->backlog_limit) {
      chunk = static_cast<BacklogChunk*>(std::malloc(sizeof(BacklogChunk)));
    }
    if (chunk == nullptr) {
      if (records->dropped_records == 0) records->news |= kNewsBacklogFull;
      records->dropped_records += count;
      return;
    }
    chunk->next = nullptr;
    chunk->length = 0;
    if (last == nullptr) {
      records->first = chunk;
      records->first_offset = 0;
    } else {
      last->next = chunk;
    }
    records->last = last = chunk;
  }
  std::memcpy(last->bytes + last->length, bytes, length);
  last->length += length;
  records->backlog_bytes += length;
  records->backlog_records += count;
  records->refused_records += count;
}

void free_backlog(RecordFile* records) {
  while (records->first != nullptr) {
    BacklogChunk* next = records->first->next;
    std::free(records->first);
    records->first = next;
  }
  records->last = nullptr;
  records->first_offset = 0;
  records->backlog_bytes = 0;
  records->backlog_records = 0;
}

// Offers the backlog to the file, oldest first, until it takes all or refuses again; then the
// held records follow.
void offer_backlog(RecordFile* records) {
  if (waits(records)) return;
  if (!file_in_place(records)) {
    begin_refusal(records);
    return;
  }
  while (records->first != nullptr) {
    BacklogChunk* chunk = records->first;
    const char* bytes = chunk->bytes + records->first_offset;
    const size_t length = chunk->length - records->first_offset;
    const size_t kept = write_span(records, bytes, length);
    records->first_offset += kept;
    records->backlog_bytes -= kept;
    records->backlog_records -= count_line_ends(bytes, kept);
    if (kept < length) {
      begin_refusal(records);
      return;
    }
    records->first = chunk->next;
    records->first_offset = 0;
    std::free(chunk);
  }
  records->last = nullptr;
  // The records held meanwhile go with them, so that the file is up to date at once.
  const uint64_t held = count_line_ends(records->held, records->held_count);
  const uint64_t refused = records->refused_records;
  write_out_held_records(records);
  // Refused again at once: the same refusal goes on.
  if (records->first != nullptr) return;
  // Records that only waited for the file this one goes after were never refused.
  if (records->refusing) {
    records->news |= kNewsCaughtUp;
    records->caught_up_records = refused + held;
  }
  records->refusing = false;
}

}  // namespace

bool open_record_file(RecordFile* records, const LogFileService& file, const char* path, char* held,
                      size_t capacity) {
  *records = RecordFile{};
  records->file = file;
  records->held = held;
  records->capacity = capacity;
  records->backlog_limit = kMostBacklogBytes;
  records->open = file.create(file.context, path);
  return records->open;
}

// While the file refuses, the held records go behind the backlog, to be offered with it.
void write_out_held_records(RecordFile* records) {
  if (!records->open || records->held_count == 0) return;
  const char* on_disk = records->held;
  const size_t length = records->held_count;
  records->held_count = 0;
  records->held_text = 0;
  records->held_timed = false;
  if (records->first == nullptr && !waits(records)) {
    if (!file_in_place(records)) {
      begin_refusal(records);
      queue(records, on_disk, length);
      return;
    }
    const size_t kept = write_span(records, on_disk, length);
    if (kept == length) return;
    begin_refusal(records);
    queue(records, on_disk + kept, length - kept);
    return;
  }
  if (records->first == nullptr) records->refused_records = 0;
  queue(records, on_disk, length);
}

void add_record(RecordFile* records, const char* text, size_t length) {
  if (records->held_text + length > records->capacity) write_out_held_records(records);
  records->held_count += expand_line_ends(text, length, records->held + records->held_count);
  records->held_text += length;
}

void write_out_when_due(RecordFile* records, int64_t now_ms) {
  if (records->held_count > 0) {
    if (!records->held_timed) {
      records->held_timed = true;
      records->held_since_ms = now_ms;
    } else if (now_ms - records->held_since_ms >= kWriteOutIntervalMs) {
      write_out_held_records(records);
    }
  }
  if (records->first != nullptr) {
    if (!records->retry_timed) {
      records->retry_timed = true;
      records->retry_at_ms = now_ms + kWriteOutIntervalMs;
    } else if (now_ms >= records->retry_at_ms) {
      records->retry_timed = false;
      offer_backlog(records);
    }
  }
}

uint64_t close_record_file(RecordFile* records) {
  if (!records->open) return 0;
  write_out_held_records(records);
  if (records->first != nullptr) offer_backlog(records);
  // A file removed since the last write-out is put back too; one that cannot be takes its
  // records with it.
  const bool in_place = file_in_place(records);
  const uint64_t unwritten = records->backlog_records + records->dropped_records +
                             (in_place ? 0 : records->records_in_file);
  if (!in_place) records->records_in_file = 0;
  free_backlog(records);
  records->file.close(records->file.context);
  records->open = false;
  return unwritten;
}

unsigned take_record_file_news(RecordFile* records) {
  const unsigned news = records->news;
  records->news = 0;
  return news;
}
