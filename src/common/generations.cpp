#include "common/generations.h"

#include <cstdio>

void generation_name(const char* path, int generation, char* out) {
  std::snprintf(out, kGenerationNameSize, "%s.%d", path, generation);
}

namespace {

// NAME.`first` .. NAME.`last` each back one number, the lowest first: each has a free name then.
void move_back(const char* path, const GenerationMoves& moves, int first, int last) {
  char name[kGenerationNameSize];
  char next[kGenerationNameSize];
  for (int generation = first; generation <= last; ++generation) {
    generation_name(path, generation + 1, next);
    generation_name(path, generation, name);
    moves.move(moves.context, next, name);
  }
}

}  // namespace

int shift_generations(const char* path, const GenerationMoves& moves, int* folder) {
  char name[kGenerationNameSize];
  char next[kGenerationNameSize];
  *folder = 0;
  int count = 0;
  for (;;) {
    generation_name(path, count + 1, name);
    const NameHolds held = moves.holds(moves.context, name);
    if (held == NameHolds::kNothing) break;
    if (held == NameHolds::kFolder) {
      *folder = count + 1;
      return -1;
    }
    ++count;
  }
  for (int generation = count; generation >= 1; --generation) {
    generation_name(path, generation, name);
    generation_name(path, generation + 1, next);
    if (!moves.move(moves.context, name, next)) {
      move_back(path, moves, generation + 1, count);
      return -1;
    }
  }
  return count;
}

void unshift_generations(const char* path, const GenerationMoves& moves, int count) {
  move_back(path, moves, 1, count);
}
