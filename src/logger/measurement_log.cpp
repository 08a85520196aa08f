#include "logger/measurement_log.h"

#include <cstdlib>

#include "common/generations.h"
#include "logger/record_file.h"
#include "logger/record_format.h"
#include "logger/time_row.h"

namespace {

// What a completed line gives each file.
struct LineFacts {
  int32_t reading;
  const char* time;  // the time of its read, for the files that are timed
  size_t time_length;
};

// A file of the run.
struct RunFileRow {
  const char* name;
  const char* lines;   // what its lines are called
  const char* holds;   // what the run lacks without it
  const char* header;  // written ahead of its first line, or null
  size_t capacity;     // of held line text: a write at most this often at speed
  size_t share;        // of the backlog's bound, in quarters
  bool timed;          // its lines need the time of their read
  size_t (*line)(const LineFacts& facts, char* out);
};

size_t record_line(const LineFacts& facts, char* out) {
  return format_record(facts.reading, out);
}

size_t time_line(const LineFacts& facts, char* out) {
  return format_time_row(facts.time, facts.time_length, facts.reading, out);
}

// The run's files, the first first: on a disk short of room the others leave it the room.
constexpr RunFileRow kRunFiles[] = {
    {kMeasurementLogName, "records", "the measurement", nullptr, kLogBufferSize, 4, false,
     record_line},
    {kTimesFileName, "rows", "the times", kTimesHeader, 4096, 1, true, time_line},
};
constexpr int kFiles = int(sizeof kRunFiles / sizeof kRunFiles[0]);
static_assert(kFiles <= kMostRunFiles, "more files than a run may make");

// Room for the longest line of any file.
constexpr size_t kMostLineLength =
    kMostRowLength > kMaxRecordLength + 1 ? kMostRowLength : kMaxRecordLength + 1;

// News of the log's own, beside a record file's.
constexpr unsigned kNewsNotMade = 1u << 8;
constexpr unsigned kNewsUnwritten = 1u << 9;

// The order in which a file's news is told, and what each is called.
constexpr struct {
  unsigned bit;
  LogNewsKind kind;
} kNewsOrder[] = {
    {kNewsNotMade, LogNewsKind::kNotMade},       {kNewsPutBack, LogNewsKind::kPutBack},
    {kNewsEmptied, LogNewsKind::kEmptied},       {kNewsRefused, LogNewsKind::kRefused},
    {kNewsLeavesRoom, LogNewsKind::kLeavesRoom}, {kNewsBacklogFull, LogNewsKind::kBacklogFull},
    {kNewsCaughtUp, LogNewsKind::kCaughtUp},     {kNewsUnwritten, LogNewsKind::kUnwritten},
};

}  // namespace

struct MeasurementLog {
  LogFileService services[kFiles];
  RecordFile* files[kFiles];  // null where the file was not made
  bool started[kFiles];       // its first line, and its header, added
  BacklogBound bound;
  ProcessService clock;
  // The time of the current read, taken at the first line it completes.
  bool time_taken;
  char time_text[kLocalTimeLength];
  size_t time_length;
  // News not yet taken, by file: record-file news and the log's own.
  RecordFileNews news[kFiles];
  uint64_t unwritten[kFiles];
};

namespace {

// Moves a file's news from its record file to the log's list.
void collect_news(MeasurementLog* log, int file) {
  if (log->files[file] == nullptr) return;
  const RecordFileNews news = take_record_file_news(log->files[file]);
  log->news[file].kinds |= news.kinds;
  if (news.kinds & kNewsCaughtUp) log->news[file].caught_up = news.caught_up;
}

}  // namespace

MeasurementLog* open_measurement_log(const LogFileMaker& maker, const ProcessService& clock,
                                     size_t backlog_bound) {
  MeasurementLog* log = static_cast<MeasurementLog*>(std::calloc(1, sizeof(MeasurementLog)));
  if (log == nullptr) return nullptr;
  log->clock = clock;
  log->bound = BacklogBound{backlog_bound, 0};
  const char* names[kFiles];
  for (int file = 0; file < kFiles; ++file) names[file] = kRunFiles[file].name;
  bool made[kFiles] = {};
  maker.make(maker.context, names, kFiles, log->services, made);
  for (int file = 0; file < kFiles; ++file) {
    const RunFileRow& row = kRunFiles[file];
    if (made[file]) {
      log->files[file] = start_record_file(log->services[file], row.capacity, &log->bound,
                                           backlog_bound / 4 * row.share, log->files[0]);
    }
    // A later file is tried only once the first is made.
    if (log->files[file] == nullptr && (file == 0 || log->files[0] != nullptr)) {
      log->news[file].kinds |= kNewsNotMade;
    }
  }
  return log;
}

bool measurement_log_is_open(const MeasurementLog* log) {
  return log->files[0] != nullptr;
}

LogFilePlace measurement_log_place(const MeasurementLog* log) {
  const LogFileService& file = log->services[0];
  return file.place(file.context);
}

const char* companion_file(const MeasurementLog* log, int index) {
  for (int file = 1; file < kFiles; ++file) {
    if (log->files[file] != nullptr && index-- == 0) return kRunFiles[file].name;
  }
  return nullptr;
}

void start_read(MeasurementLog* log) {
  log->time_taken = false;
}

void append_reading(MeasurementLog* log, int32_t reading) {
  LineFacts facts = {reading, log->time_text, 0};
  for (int file = 0; file < kFiles; ++file) {
    const RunFileRow& row = kRunFiles[file];
    if (log->files[file] == nullptr) continue;
    if (row.timed && !log->time_taken) {
      const WallTime now = log->clock.wall_clock(log->clock.context);
      log->time_length = format_local_time(now, log->time_text);
      log->time_taken = true;
    }
    facts.time_length = log->time_length;
    if (!log->started[file] && row.header != nullptr) {
      size_t length = 0;
      while (row.header[length] != '\0') ++length;
      add_record(log->files[file], row.header, length);
    }
    log->started[file] = true;
    char line[kMostLineLength];
    add_record(log->files[file], line, row.line(facts, line));
  }
}

bool log_waits_for_clock(const MeasurementLog* log) {
  return log_deadline(log) >= 0;
}

int64_t log_deadline(const MeasurementLog* log) {
  int64_t deadline = -1;
  for (const RecordFile* file : log->files) {
    const int64_t due = file == nullptr ? -1 : record_file_deadline(file);
    if (due >= 0 && (deadline < 0 || due < deadline)) deadline = due;
  }
  return deadline;
}

void write_out_when_due(MeasurementLog* log, int64_t now_ms) {
  for (RecordFile* file : log->files) {
    if (file != nullptr && record_file_deadline(file) >= 0) write_out_when_due(file, now_ms);
  }
}

void write_out_held_lines(MeasurementLog* log) {
  for (RecordFile* file : log->files) {
    if (file != nullptr) write_out_held_records(file);
  }
}

bool log_has_news(const MeasurementLog* log) {
  for (int file = 0; file < kFiles; ++file) {
    if (log->news[file].kinds != 0) return true;
    if (log->files[file] != nullptr && record_file_has_news(log->files[file])) return true;
  }
  return false;
}

bool take_log_news(MeasurementLog* log, LogNews* news) {
  for (int file = 0; file < kFiles; ++file) {
    collect_news(log, file);
    RecordFileNews* waiting = &log->news[file];
    for (const auto& order : kNewsOrder) {
      if ((waiting->kinds & order.bit) == 0) continue;
      waiting->kinds &= ~order.bit;
      const RunFileRow& row = kRunFiles[file];
      const LogFileService& service = log->services[file];
      *news = LogNews{order.kind, row.name, row.lines, row.holds, kRunFiles[0].name, 0, {}};
      if (service.context == nullptr) {
        news->failure =
            LogFileFailure{LogFileTrouble::kSystem, row.name, "not enough memory", nullptr, 0, 0};
      } else if (order.kind == LogNewsKind::kNotMade || order.kind == LogNewsKind::kRefused) {
        news->failure = service.failure(service.context);
      } else if (order.kind == LogNewsKind::kCaughtUp) {
        news->count = waiting->caught_up;
      } else if (order.kind == LogNewsKind::kUnwritten) {
        news->count = log->unwritten[file];
      } else if (order.kind == LogNewsKind::kBacklogFull) {
        news->count = log->bound.most >> 20;
      } else if (order.kind == LogNewsKind::kLeavesRoom) {
        news->count = kRoomKeptForTheFirst >> 20;
      }
      return true;
    }
  }
  return false;
}

void end_measurement_log(MeasurementLog* log) {
  for (int file = 0; file < kFiles; ++file) {
    RecordFile* records = log->files[file];
    if (records == nullptr) continue;
    uint64_t unwritten = end_record_file(records);
    // A header is no line: when even it could not be written, it is not counted.
    if (unwritten > 0 && kRunFiles[file].header != nullptr && records_in_file(records) == 0) {
      --unwritten;
    }
    log->unwritten[file] = unwritten;
    if (unwritten > 0) log->news[file].kinds |= kNewsUnwritten;
  }
}

uint64_t records_in_measurement_log(const MeasurementLog* log) {
  return log->files[0] == nullptr ? 0 : records_in_file(log->files[0]);
}

bool measurement_log_is_whole(const MeasurementLog* log) {
  return log->unwritten[0] == 0;
}

void close_measurement_log(MeasurementLog* log) {
  for (int file = 0; file < kFiles; ++file) {
    if (log->files[file] != nullptr) {
      close_record_file(log->files[file]);
    } else if (log->services[file].context != nullptr) {
      log->services[file].close(log->services[file].context);
    }
  }
  std::free(log);
}
