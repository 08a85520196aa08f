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

struct RecordFile {
  LogFileService file;
  const RecordFile* first;  // the file this one goes after, or null
  // The held records as the file is to have them, each LF already CR LF, so that a write-out
  // writes them as they are: `held_text` bytes of record text, `held_bytes` bytes here.
  size_t capacity;
  size_t held_text;
  size_t held_bytes;
  // The clock is read by the caller, and only while something waits: the time of the oldest held
  // record, and of the next offer of the backlog, are taken at the first look after it.
  bool held_timed;
  int64_t held_since_ms;
  bool retry_timed;
  int64_t retry_at_ms;
  uint64_t file_length;      // bytes of ours that the file holds
  uint64_t records_in_file;  // whole records among them
  size_t torn;  // bytes of a record whose rest the file has not taken, when they cannot be cut off
  // The backlog: what the file refused, as the file is to hold it (CR LF), in order, in chunks
  // that hold whole records only.
  BacklogChunk* oldest;
  BacklogChunk* newest;
  size_t oldest_taken;  // what the file has taken of the oldest chunk
  size_t backlog_bytes;
  uint64_t backlog_records;
  BacklogBound* bound;
  size_t share;              // of the bound, at most
  uint64_t refused_records;  // since the file last stopped taking them
  uint64_t dropped_records;  // beyond the bound
  bool dropping;             // since the bound was met, until the backlog is written: no gaps
  bool refusing;             // the file refused, or left the room, and has not taken all since
  bool emptied_told;
  RecordFileNews news;
  char held[1];  // twice `capacity` bytes, allocated with the rest
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

// A file emptied or shortened from outside goes on at its end: the records are appended there,
// and the operator is told once.
void notice_a_shorter_file(RecordFile* records) {
  const LogFileService& file = records->file;
  const uint64_t length = file.length(file.context);
  if (length == UINT64_MAX || length >= records->file_length) return;
  records->file_length = length;
  if (length == 0) records->records_in_file = 0;
  records->torn = 0;
  if (!records->emptied_told) records->news.kinds |= kNewsEmptied;
  records->emptied_told = true;
}

// Hands `bytes`, whole records, to the file after what it holds, until it takes all or refuses.
// Returns how many it keeps: a record it took only in part is taken back off the file where the
// file allows, so that the file ends in a whole record and the record is offered whole next time.
size_t write_span(RecordFile* records, const char* bytes, size_t length) {
  const LogFileService& file = records->file;
  notice_a_shorter_file(records);
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
    if (torn > 0 && torn <= written && file.take_back(file.context, torn)) {
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
// everything it held. Returns whether the name leads to the file now.
bool put_back_if_lost(RecordFile* records) {
  const LogFileService& file = records->file;
  if (file.in_place(file.context)) return true;
  uint64_t length = 0;
  if (!file.put_back(file.context, &length)) return false;
  records->file_length = length;
  records->news.kinds |= kNewsPutBack;
  return true;
}

// The file refused, or leaves the room to the first: said once (as `kind`), until it has taken
// everything again.
void begin_refusal(RecordFile* records, unsigned kind) {
  if (records->refusing) return;
  records->refusing = true;
  records->news.kinds |= kind;
  if (records->oldest == nullptr) records->refused_records = 0;
  records->retry_timed = false;
}

// Whether the file it goes after holds records back: this one waits for it, with nothing to
// tell of its own.
bool first_holds_back(const RecordFile* records) {
  return records->first != nullptr && records->first->oldest != nullptr;
}

// Whether the disk has so little room left that the file it goes after may need all of it.
bool first_needs_the_room(const RecordFile* records) {
  if (records->first == nullptr) return false;
  const LogFileService& file = records->file;
  return file.free_bytes(file.context) < kRoomKeptForTheFirst + records->held_bytes;
}

// Puts `bytes`, whole records but perhaps the first, at the end of the backlog, or counts them
// when the backlog is at its bound.
void queue(RecordFile* records, const char* bytes, size_t length) {
  const uint64_t count = count_line_ends(bytes, length);
  BacklogBound* bound = records->bound;
  BacklogChunk* newest = records->newest;
  const bool within_bound = !records->dropping &&
                            records->backlog_bytes + length <= records->share &&
                            bound->held + length <= bound->most;
  if (within_bound && (newest == nullptr || kChunkSize - newest->length < length)) {
    BacklogChunk* chunk = static_cast<BacklogChunk*>(std::malloc(sizeof(BacklogChunk)));
    if (chunk != nullptr) {
      chunk->next = nullptr;
      chunk->length = 0;
      if (newest == nullptr) {
        records->oldest = chunk;
        records->oldest_taken = 0;
      } else {
        newest->next = chunk;
      }
      records->newest = chunk;
    }
    newest = chunk;
  }
  if (!within_bound || newest == nullptr) {
    if (records->dropped_records == 0) records->news.kinds |= kNewsBacklogFull;
    records->dropped_records += count;
    // Later records are dropped too, until the backlog is written, so that what is kept never
    // skips a record.
    records->dropping = true;
    return;
  }
  std::memcpy(newest->bytes + newest->length, bytes, length);
  newest->length += length;
  records->backlog_bytes += length;
  bound->held += length;
  records->backlog_records += count;
  records->refused_records += count;
}

// The oldest chunk, all taken.
void drop_oldest_chunk(RecordFile* records) {
  BacklogChunk* chunk = records->oldest;
  records->oldest = chunk->next;
  if (records->oldest == nullptr) records->newest = nullptr;
  records->oldest_taken = 0;
  std::free(chunk);
}

// What the file has taken of the oldest chunk.
void take_from_backlog(RecordFile* records, const char* bytes, size_t kept) {
  records->oldest_taken += kept;
  records->backlog_bytes -= kept;
  records->bound->held -= kept;
  records->backlog_records -= count_line_ends(bytes, kept);
}

void free_backlog(RecordFile* records) {
  while (records->oldest != nullptr) {
    const BacklogChunk* chunk = records->oldest;
    const size_t left = chunk->length - records->oldest_taken;
    records->bound->held -= left;
    drop_oldest_chunk(records);
  }
  records->backlog_bytes = 0;
  records->backlog_records = 0;
}

// Offers the backlog to the file, oldest first, until it takes all or refuses again; then the
// held records follow.
void offer_backlog(RecordFile* records) {
  if (first_holds_back(records)) return;
  if (first_needs_the_room(records)) {
    begin_refusal(records, kNewsLeavesRoom);
    return;
  }
  if (!put_back_if_lost(records)) {
    begin_refusal(records, kNewsRefused);
    return;
  }
  while (records->oldest != nullptr) {
    const BacklogChunk* chunk = records->oldest;
    const char* bytes = chunk->bytes + records->oldest_taken;
    const size_t length = chunk->length - records->oldest_taken;
    const size_t kept = write_span(records, bytes, length);
    take_from_backlog(records, bytes, kept);
    if (kept < length) {
      begin_refusal(records, kNewsRefused);
      return;
    }
    drop_oldest_chunk(records);
  }
  records->dropping = false;
  // The records held meanwhile go with them, so that the file is up to date at once.
  const uint64_t held = count_line_ends(records->held, records->held_bytes);
  const uint64_t refused = records->refused_records;
  write_out_held_records(records);
  // Refused again at once: the same refusal goes on.
  if (records->oldest != nullptr) return;
  // Records that only waited for the file this one goes after were never refused.
  if (records->refusing) {
    records->news.kinds |= kNewsCaughtUp;
    records->news.caught_up = refused + held;
  }
  records->refusing = false;
}

}  // namespace

RecordFile* start_record_file(const LogFileService& file, size_t capacity, BacklogBound* bound,
                              size_t share, const RecordFile* first) {
  // The held records' room is touched only as records come.
  void* memory = std::malloc(sizeof(RecordFile) + 2 * capacity);
  if (memory == nullptr) return nullptr;
  RecordFile* records = static_cast<RecordFile*>(memory);
  *records = RecordFile{};
  records->file = file;
  records->first = first;
  records->capacity = capacity;
  records->bound = bound;
  records->share = share;
  const uint64_t length = file.length(file.context);
  records->file_length = length == UINT64_MAX ? 0 : length;
  return records;
}

// While the file refuses, the held records go behind the backlog, to be offered with it.
void write_out_held_records(RecordFile* records) {
  if (records->held_bytes == 0) return;
  const char* on_disk = records->held;
  const size_t length = records->held_bytes;
  records->held_bytes = 0;
  records->held_text = 0;
  records->held_timed = false;
  if (records->oldest == nullptr) records->refused_records = 0;
  if (records->oldest != nullptr || first_holds_back(records)) {
    queue(records, on_disk, length);
    return;
  }
  if (first_needs_the_room(records)) {
    begin_refusal(records, kNewsLeavesRoom);
    queue(records, on_disk, length);
    return;
  }
  if (!put_back_if_lost(records)) {
    begin_refusal(records, kNewsRefused);
    queue(records, on_disk, length);
    return;
  }
  records->dropping = false;
  const size_t kept = write_span(records, on_disk, length);
  if (kept == length) return;
  begin_refusal(records, kNewsRefused);
  queue(records, on_disk + kept, length - kept);
}

void add_record(RecordFile* records, const char* text, size_t length) {
  if (records->held_text + length > records->capacity) write_out_held_records(records);
  records->held_bytes += expand_line_ends(text, length, records->held + records->held_bytes);
  records->held_text += length;
}

int64_t record_file_deadline(const RecordFile* records) {
  int64_t deadline = -1;
  if (records->held_bytes > 0) {
    deadline = records->held_timed ? records->held_since_ms + kWriteOutIntervalMs : 0;
  }
  if (records->oldest != nullptr) {
    const int64_t retry = records->retry_timed ? records->retry_at_ms : 0;
    if (deadline < 0 || retry < deadline) deadline = retry;
  }
  return deadline;
}

uint64_t records_in_file(const RecordFile* records) {
  return records->records_in_file;
}

void write_out_when_due(RecordFile* records, int64_t now_ms) {
  if (records->held_bytes > 0) {
    if (!records->held_timed) {
      records->held_timed = true;
      records->held_since_ms = now_ms;
    } else if (now_ms - records->held_since_ms >= kWriteOutIntervalMs) {
      write_out_held_records(records);
    }
  }
  if (records->oldest != nullptr) {
    if (!records->retry_timed) {
      records->retry_timed = true;
      records->retry_at_ms = now_ms + kWriteOutIntervalMs;
    } else if (now_ms >= records->retry_at_ms) {
      records->retry_timed = false;
      offer_backlog(records);
    }
  }
}

bool record_file_has_news(const RecordFile* records) {
  return records->news.kinds != 0;
}

RecordFileNews take_record_file_news(RecordFile* records) {
  const RecordFileNews news = records->news;
  records->news = RecordFileNews{};
  return news;
}

uint64_t end_record_file(RecordFile* records) {
  write_out_held_records(records);
  if (records->oldest != nullptr) offer_backlog(records);
  // A file removed since the last write-out is put back too; one that cannot be takes its
  // records with it.
  const bool in_place = put_back_if_lost(records);
  const uint64_t unwritten = records->backlog_records + records->dropped_records +
                             (in_place ? 0 : records->records_in_file);
  if (!in_place) records->records_in_file = 0;
  free_backlog(records);
  return unwritten;
}

void close_record_file(RecordFile* records) {
  free_backlog(records);
  records->file.close(records->file.context);
  std::free(records);
}
