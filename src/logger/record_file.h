// A file of records written in batches, so that it costs one write a batch at speed yet never
// keeps a record from the disk for long: the records wait in a buffer of the caller's and are
// handed to the file when one no longer fits, or once the oldest has waited a second. What the
// file refuses, or takes only in part, is kept in order and offered again about once a second,
// so that once the file takes it, it holds every record whole and in order. The file service and
// the clock are handed in; nothing here makes a system call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/log_file.h"

// The longest a held record waits for its write-out, and how often refused records are offered
// again.
constexpr int64_t kWriteOutIntervalMs = 1000;

// What the file refuses is kept up to this many of its bytes: over two hours of 5-byte lines at
// the wire's full 115200 baud (13.8 KB of records a second), and taken only while it refuses.
// Records beyond it are counted, not kept.
constexpr size_t kMostBacklogBytes = size_t(128) << 20;

// What the operator is to be told, as bits of RecordFile::news.
enum RecordFileNews : unsigned {
  kNewsRefused = 1,      // the file stopped taking records: file.why() says why
  kNewsCaughtUp = 2,     // it takes them again, and took every one it had refused
  kNewsBacklogFull = 4,  // the backlog reached its bound: later records are counted, not kept
  kNewsReplaced = 8,     // the file's name led elsewhere: a new file under it holds the records
  kNewsLeavesRoom = 16,  // a file that goes after another leaves the disk's last room to it
};

struct BacklogChunk;

struct RecordFile {
  LogFileService file;
  bool open;
  // The caller's buffer, of twice the capacity: the held records as the file is to have them,
  // each LF already CR LF, so that a write-out writes them as they are.
  char* held;
  size_t capacity;    // of record text, counted before each LF becomes CR LF
  size_t held_text;   // that much is held
  size_t held_count;  // in this many bytes
  // The clock is read by the caller, and only while something waits: the time of the oldest held
  // record, and of the next offer of the backlog, are taken at the first look after it.
  bool held_timed;
  int64_t held_since_ms;
  bool retry_timed;
  int64_t retry_at_ms;
  uint64_t file_length;      // bytes of ours that the file holds
  uint64_t records_in_file;  // whole records among them: the run's records that the file holds
  size_t torn;  // bytes of a record whose rest the file has not taken, when they cannot be cut off
  // The backlog: what the file refused, as the file is to hold it (CR LF), in order, in chunks
  // that hold whole records only.
  BacklogChunk* first;
  BacklogChunk* last;
  size_t first_offset;  // what the file has taken of the first chunk
  size_t backlog_bytes;
  uint64_t backlog_records;
  uint64_t refused_records;  // since the file last stopped taking them
  uint64_t dropped_records;  // beyond the backlog's bound
  size_t backlog_limit;      // the bound: kMostBacklogBytes, less in the tests
  bool refusing;             // the file itself refused, and has not taken everything since
  unsigned news;
  uint64_t caught_up_records;  // with kNewsCaughtUp
  // A file that goes after another on the same disk (a companion of it): while that one holds a
  // backlog, or while the disk has less than kRoomKeptForTheFirst free, this one writes nothing,
  // so that it never takes the room the other needs.
  const RecordFile* after;
};

// What a disk keeps free for the file that goes first: over 170,000 records of test.dat.
constexpr uint64_t kRoomKeptForTheFirst = 1 << 20;

// Creates `path` through `file` (see LogFileService::create) and starts with nothing held; false
// when the file cannot be made. `held` is the caller's buffer of twice `capacity` bytes.
bool open_record_file(RecordFile* records, const LogFileService& file, const char* path, char* held,
                      size_t capacity);

// Adds one record, ending in LF and at most `capacity` bytes long, every LF to be CR LF in the
// file; the held records are written out first when it does not fit.
void add_record(RecordFile* records, const char* text, size_t length);

// Whether anything waits for the clock: held records or a backlog.
inline bool record_file_waiting(const RecordFile* records) {
  return records->held_count > 0 || records->first != nullptr;
}

// The look at the clock, `now_ms` by a clock that only goes forward: the held records are
// written out once the oldest has waited kWriteOutIntervalMs, and the backlog offered again as
// often.
void write_out_when_due(RecordFile* records, int64_t now_ms);

// Writes out the held records now, for a run that cannot say when the next record comes.
void write_out_held_records(RecordFile* records);

// Writes out everything, with one more offer of the backlog, and closes the file. Returns how
// many records it does not hold: refused to the end, or beyond the backlog's bound.
uint64_t close_record_file(RecordFile* records);

// The news since the last call, and none from then on.
unsigned take_record_file_news(RecordFile* records);
