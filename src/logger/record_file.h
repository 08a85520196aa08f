// One file of records written in batches, so that it costs one write a batch at speed yet never
// keeps a record from the disk for long: the records are held and handed to the file when one no
// longer fits, or once the oldest has waited a second. What the file refuses, or takes only in
// part, is kept in order and offered again about once a second, so that once the file takes it,
// it holds every record whole and in order. The file service is handed in, the clock is read by
// the caller; nothing here makes a system call. A file's state is its own: the functions below
// ask (const) or change it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/log_file.h"

// The longest a held record waits for its write-out, and how often refused records are offered
// again.
constexpr int64_t kWriteOutIntervalMs = 1000;

// What a disk keeps free for the run's first file: over 170,000 records of test.dat.
constexpr uint64_t kRoomKeptForTheFirst = 1 << 20;

// What the run's files keep of what their disks refuse, all of them together: a bound shared by
// the files of a run, each of which takes at most its own share of it.
struct BacklogBound {
  size_t most;
  size_t held;
};

// What the operator is to be told, as bits of RecordFileNews::kinds.
enum RecordFileNewsKind : unsigned {
  kNewsRefused = 1,      // the file stopped taking records: its service's failure says why
  kNewsCaughtUp = 2,     // it takes them again, and took every one it had refused
  kNewsBacklogFull = 4,  // its share of the backlog is full: later records are counted, not kept
  kNewsPutBack = 8,      // the file's name led elsewhere: a new file under it holds the records
  kNewsLeavesRoom = 16,  // a later file leaves the disk's last room to the first
  kNewsEmptied = 32,     // the file was emptied or shortened from outside: it goes on at its end
};

struct RecordFileNews {
  unsigned kinds;
  uint64_t caught_up;  // with kNewsCaughtUp: how many held records went to the file then
};

struct RecordFile;

// Starts records for `file`, which the run has made, with room for `capacity` bytes of record
// text (counted before each LF becomes CR LF) and a share of `bound`. A later file goes after
// `first` (null for the first itself): while that one holds a backlog, or while the disk has less
// than kRoomKeptForTheFirst free, it writes nothing. Null when there is no memory for it.
RecordFile* start_record_file(const LogFileService& file, size_t capacity, BacklogBound* bound,
                              size_t share, const RecordFile* first);

// Adds one record, ending in LF and at most `capacity` bytes long, every LF to be CR LF in the
// file; the held records are written out first when it does not fit.
void add_record(RecordFile* records, const char* text, size_t length);

// When the clock is next due for the file: the held records' second, the next offer of the
// backlog; 0 when a time is still to be taken at the next look, -1 when nothing waits for it.
int64_t record_file_deadline(const RecordFile* records);

// The run's records that the file holds.
uint64_t records_in_file(const RecordFile* records);

// The look at the clock, `now_ms` by a clock that only goes forward: the held records are
// written out once the oldest has waited kWriteOutIntervalMs, and the backlog offered again as
// often.
void write_out_when_due(RecordFile* records, int64_t now_ms);

// Writes out the held records now, for a run that cannot say when the next record comes.
void write_out_held_records(RecordFile* records);

// Whether there is news to take.
bool record_file_has_news(const RecordFile* records);

// The news since the last call, and none from then on.
RecordFileNews take_record_file_news(RecordFile* records);

// Writes out everything, with one more offer of the backlog, and puts a lost file back a last
// time. Returns how many records the file does not hold: refused to the end, beyond the backlog's
// bound, or lost with a file that could not be put back. Nothing is added after it.
uint64_t end_record_file(RecordFile* records);

// Closes the file and lets go of the records.
void close_record_file(RecordFile* records);
