// The earlier files of a log, kept beside it under its name and a number: NAME.1 the newest,
// NAME.2 the one before, and so on. Making room for one more moves each a number up, the oldest
// first, never onto a name that is taken, so that nothing is overwritten; the system layers do
// the looking and the moving.
#pragma once

#include <cstddef>

// What a name holds.
enum class NameHolds { kNothing, kFile, kFolder };

struct GenerationMoves {
  void* context;
  NameHolds (*holds)(void* context, const char* name);
  // Gives `from` the name `to`, which nothing has; false when that fails.
  bool (*move)(void* context, const char* from, const char* to);
};

// Room for NAME.N beside the longest path.
constexpr size_t kGenerationNameSize = 4096 + 16;

// NAME.`generation` into `out` (kGenerationNameSize bytes).
void generation_name(const char* path, int generation, char* out);

// Moves NAME.N to NAME.N+1 for every earlier file, so that NAME.1 is free. Returns how many were
// moved; -1 when one cannot be, every name then as it was. `*folder` is the N of a folder that
// stands in the way (a folder is never moved), or 0.
int shift_generations(const char* path, const GenerationMoves& moves, int* folder);

// Moves back the `count` files that shift_generations moved.
void unshift_generations(const char* path, const GenerationMoves& moves, int count);
