// The run's files and their earlier runs. Each file NAME keeps the runs before it as NAME.1 (the
// run before), NAME.2 (the one before that), and so on, and the files of one run share their
// number: NAME.N of every file belongs to the same run. So a run decides once whether the run
// before it is kept, and every file follows, whatever was empty, refused or missing. Nothing is
// deleted or overwritten: a move never replaces what has its new name, and a sequence that
// cannot be made whole moves everything back. The system layers look and move; this decides and
// keeps the order.
#pragma once

#include <cstddef>

// The most files a run writes.
constexpr int kMostRunFiles = 4;

// Room for NAME.N and NAME.new beside the longest path.
constexpr size_t kGenerationNameSize = 4096 + 16;

// What stood at a file's name when the run took it.
enum class Found {
  kMade,        // nothing: the run made the file, empty
  kEmpty,       // an empty ordinary file, taken as it is
  kEarlierRun,  // an ordinary file that holds something: an earlier run, to be kept
  kDevice,      // a device or a FIFO, written as it is; it has no earlier runs
  kRefused,     // it cannot be the run's; the system layer says why
};

enum class NameHolds { kNothing, kFile, kFolder };

// The generation numbers of the moves: 0 is the name itself, kNewFile the file made at NAME.new
// (where a new file is made before it takes the name, so that a refusal leaves the name as it
// was).
constexpr int kNewFile = -1;

// The name of `path`'s `generation` into `out` (kGenerationNameSize bytes): `path` itself,
// NAME.N, or NAME.new.
void run_file_name(const char* path, int generation, char* out);

// The system's side, file by file (`file` is the file's place in the run, 0 the first).
struct RunFileSystem {
  void* context;
  // Opens and locks what stands at the file's name, or makes it when nothing does.
  Found (*take)(void* context, int file);
  // Makes the file's new one at NAME.new, locked.
  bool (*make_new)(void* context, int file);
  // What NAME.`generation` is (0: the name itself, as it stands, a link not followed).
  NameHolds (*holds)(void* context, int file, int generation);
  // Gives NAME.`from` the name NAME.`to`, which nothing has; false when that fails.
  bool (*move)(void* context, int file, int from, int to);
  // The new file is now the run's (`adopted`, the one before it let go of), or it is removed.
  void (*finish_new)(void* context, int file, bool adopted);
  // Lets go of a file that take opened, and removes it when take made it.
  void (*leave_out)(void* context, int file);
  // NAME.`generation` of the file is a folder: the earlier runs cannot be kept.
  void (*folder_in_the_way)(void* context, int file, int generation);
};

// Takes the run's `files` files in order, and when any of them holds an earlier run, keeps that
// run: every file's NAME.N moves to NAME.N+1, and each file that holds something moves to NAME.1
// with its new file taking the name. `found[i]` says what file i was; a file found kRefused is
// not the run's, but its earlier runs move with the others, so that the numbers stay together.
// False when the first file cannot be the run's or the earlier run cannot be kept: then every
// name is as it was.
bool start_run_files(const RunFileSystem& system, int files, Found* found);

// Puts the run's file `file`, whose name no longer leads to it, back under its name: its new
// file takes the name, and whatever stands there now is kept as NAME.1, every file's earlier
// runs moving up with it. False when that is not possible: then every name is as it was.
bool put_back_run_file(const RunFileSystem& system, int files, int file);
