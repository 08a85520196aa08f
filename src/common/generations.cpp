#include "common/generations.h"

#include "common/text.h"

void run_file_name(const char* path, int generation, char* out) {
  const size_t length = append_text(out, kGenerationNameSize, 0, path);
  if (generation == kNewFile) {
    append_text(out, kGenerationNameSize, length, ".new");
  } else if (generation != 0) {
    append_number(out, kGenerationNameSize, append_text(out, kGenerationNameSize, length, "."),
                  generation);
  }
}

namespace {

// The highest N that any of the files has, NAME.1 to NAME.N each taken by one file at least; a
// folder among them stops it with -1, told to the system.
int highest_generation(const RunFileSystem& system, int files) {
  for (int highest = 0;; ++highest) {
    bool any = false;
    for (int file = 0; file < files; ++file) {
      const NameHolds held = system.holds(system.context, file, highest + 1);
      if (held == NameHolds::kFolder) {
        system.folder_in_the_way(system.context, file, highest + 1);
        return -1;
      }
      any = any || held == NameHolds::kFile;
    }
    if (!any) return highest;
  }
}

// Moves back what shift_every_file moved, from NAME.`lowest`+1 up: a file is back where its
// number is free and the next one holds it.
void shift_back(const RunFileSystem& system, int files, int lowest, int highest) {
  for (int generation = lowest; generation <= highest; ++generation) {
    for (int file = 0; file < files; ++file) {
      if (system.holds(system.context, file, generation + 1) == NameHolds::kFile &&
          system.holds(system.context, file, generation) == NameHolds::kNothing) {
        system.move(system.context, file, generation + 1, generation);
      }
    }
  }
}

// Every file's NAME.N up a number, the highest N first, so that each move has a free name. The
// earlier runs end at the first N that no file has; a folder among them is never moved, and stops
// the shift before anything moves. `*highest` is the highest N. On a failure what moved is moved
// back.
bool shift_every_file(const RunFileSystem& system, int files, int* highest) {
  *highest = highest_generation(system, files);
  if (*highest < 0) return false;
  for (int generation = *highest; generation >= 1; --generation) {
    for (int file = 0; file < files; ++file) {
      if (system.holds(system.context, file, generation) != NameHolds::kFile) continue;
      if (!system.move(system.context, file, generation, generation + 1)) {
        shift_back(system, files, generation, *highest);
        return false;
      }
    }
  }
  return true;
}

// Gives `file` its new file under its name, what had the name kept as NAME.1; on a failure both
// names are as they were.
bool take_the_name(const RunFileSystem& system, int file) {
  if (!system.move(system.context, file, 0, 1)) return false;
  if (system.move(system.context, file, kNewFile, 0)) return true;
  system.move(system.context, file, 1, 0);
  return false;
}

// Takes back what take_the_name did.
void give_the_name_back(const RunFileSystem& system, int file) {
  system.move(system.context, file, 0, kNewFile);
  system.move(system.context, file, 1, 0);
}

}  // namespace

bool start_run_files(const RunFileSystem& system, int files, Found* found) {
  bool earlier_run = false;
  for (int file = 0; file < files; ++file) {
    found[file] = system.take(system.context, file);
    if (file == 0 && found[file] == Found::kRefused) return false;
    earlier_run = earlier_run || found[file] == Found::kEarlierRun;
  }
  if (!earlier_run) return true;
  // Every new file first, so that a refusal comes before anything has moved.
  bool kept = true;
  int new_files = 0;
  while (new_files < files && kept) {
    kept = found[new_files] != Found::kEarlierRun || system.make_new(system.context, new_files);
    if (kept) ++new_files;
  }
  int highest = 0;
  kept = kept && shift_every_file(system, files, &highest);
  int named = 0;  // the files before this one have their new file under their name
  for (; named < files && kept; ++named) {
    kept = found[named] != Found::kEarlierRun || take_the_name(system, named);
  }
  if (!kept && highest >= 0 && named > 0) {
    for (int file = named - 2; file >= 0; --file) {
      if (found[file] == Found::kEarlierRun) give_the_name_back(system, file);
    }
    shift_back(system, files, 1, highest);
  }
  for (int file = 0; file < new_files; ++file) {
    if (found[file] == Found::kEarlierRun) system.finish_new(system.context, file, kept);
  }
  if (kept) return true;
  for (int file = 0; file < files; ++file) {
    if (found[file] != Found::kRefused) system.leave_out(system.context, file);
  }
  return false;
}

bool put_back_run_file(const RunFileSystem& system, int files, int file) {
  if (!system.make_new(system.context, file)) return false;
  const NameHolds standing = system.holds(system.context, file, 0);
  bool back = standing != NameHolds::kFolder;
  if (!back) system.folder_in_the_way(system.context, file, 0);
  int highest = 0;
  if (back && standing == NameHolds::kFile) {
    back = shift_every_file(system, files, &highest);
    if (back && !take_the_name(system, file)) {
      shift_back(system, files, 1, highest);
      back = false;
    }
  } else if (back) {
    back = system.move(system.context, file, kNewFile, 0);
  }
  system.finish_new(system.context, file, back);
  return back;
}
