#include "common/generations.h"

#include <cstdio>
#include <vector>

void run_file_name(const char* path, int generation, char* out) {
  if (generation == kNewFile) {
    std::snprintf(out, kGenerationNameSize, "%s.new", path);
  } else if (generation == 0) {
    std::snprintf(out, kGenerationNameSize, "%s", path);
  } else {
    std::snprintf(out, kGenerationNameSize, "%s.%d", path, generation);
  }
}

namespace {

struct Move {
  int file;
  int from;
  int to;
};

// The moves of one sequence, in order, so that a failure can take them back, the last first.
struct MoveLog {
  const RunFileSystem* system;
  std::vector<Move> done;
};

bool make_move(MoveLog* moves, int file, int from, int to) {
  if (!moves->system->move(moves->system->context, file, from, to)) return false;
  moves->done.push_back(Move{file, from, to});
  return true;
}

void take_back(MoveLog* moves) {
  for (auto move = moves->done.rbegin(); move != moves->done.rend(); ++move) {
    moves->system->move(moves->system->context, move->file, move->to, move->from);
  }
  moves->done.clear();
}

// Every file's NAME.N up a number, the highest N first, so that each move has a free name. The
// earlier runs end at the first N that no file has; a folder among them is never moved, and
// stops the shift before anything moves.
bool shift_every_file(const RunFileSystem& system, int files, MoveLog* moves) {
  int highest = 0;
  for (bool any = true; any;) {
    any = false;
    for (int file = 0; file < files; ++file) {
      const NameHolds held = system.holds(system.context, file, highest + 1);
      if (held == NameHolds::kFolder) {
        system.folder_in_the_way(system.context, file, highest + 1);
        return false;
      }
      any = any || held == NameHolds::kFile;
    }
    if (any) ++highest;
  }
  for (int generation = highest; generation >= 1; --generation) {
    for (int file = 0; file < files; ++file) {
      if (system.holds(system.context, file, generation) != NameHolds::kFile) continue;
      if (!make_move(moves, file, generation, generation + 1)) return false;
    }
  }
  return true;
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
  MoveLog moves{&system, {}};
  kept = kept && shift_every_file(system, files, &moves);
  for (int file = 0; file < files && kept; ++file) {
    if (found[file] != Found::kEarlierRun) continue;
    kept = make_move(&moves, file, 0, 1) && make_move(&moves, file, kNewFile, 0);
  }
  if (!kept) take_back(&moves);
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
  MoveLog moves{&system, {}};
  const NameHolds standing = system.holds(system.context, file, 0);
  bool back = standing != NameHolds::kFolder;
  if (!back) system.folder_in_the_way(system.context, file, 0);
  if (back && standing == NameHolds::kFile) {
    back = shift_every_file(system, files, &moves) && make_move(&moves, file, 0, 1);
  }
  back = back && make_move(&moves, file, kNewFile, 0);
  if (!back) take_back(&moves);
  system.finish_new(system.context, file, back);
  return back;
}
