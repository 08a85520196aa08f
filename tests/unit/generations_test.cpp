#include "common/generations.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// A folder of names, each a file with its content or a folder; a move can be made to fail.
struct FakeFolder {
  std::map<std::string, std::string> files;  // "/" as content: a folder
  std::string failing_move;                  // the name whose move fails, or ""
};

GenerationMoves moves_in(FakeFolder* folder) {
  return GenerationMoves{folder,
                         [](void* context, const char* name) {
                           const auto& files = static_cast<FakeFolder*>(context)->files;
                           const auto found = files.find(name);
                           if (found == files.end()) return NameHolds::kNothing;
                           return found->second == "/" ? NameHolds::kFolder : NameHolds::kFile;
                         },
                         [](void* context, const char* from, const char* to) {
                           FakeFolder* folder = static_cast<FakeFolder*>(context);
                           if (from == folder->failing_move || folder->files.count(to) != 0)
                             return false;
                           folder->files[to] = folder->files[from];
                           folder->files.erase(from);
                           return true;
                         }};
}

using Files = std::map<std::string, std::string>;

// Every earlier file moves up a number, nothing is overwritten, and a shift that cannot be made
// whole leaves every name as it was.
TEST(Generations, MoveUpWholeOrNotAtAll) {
  const struct {
    const char* name;
    Files before;
    std::string failing_move;
    int moved;   // -1: refused
    int folder;  // the N of a folder in the way
    Files after;
  } cases[] = {
      {"none yet", {{"t.dat", "run 3"}}, "", 0, 0, {{"t.dat", "run 3"}}},
      {"three",
       {{"t.dat", "run 4"}, {"t.dat.1", "run 3"}, {"t.dat.2", "run 2"}, {"t.dat.3", "run 1"}},
       "",
       3,
       0,
       {{"t.dat", "run 4"}, {"t.dat.2", "run 3"}, {"t.dat.3", "run 2"}, {"t.dat.4", "run 1"}}},
      {"a gap ends them: what lies past it stays",
       {{"t.dat.1", "run 3"}, {"t.dat.3", "run 1"}},
       "",
       1,
       0,
       {{"t.dat.2", "run 3"}, {"t.dat.3", "run 1"}}},
      {"a folder in the way moves nothing",
       {{"t.dat.1", "run 2"}, {"t.dat.2", "/"}},
       "",
       -1,
       2,
       {{"t.dat.1", "run 2"}, {"t.dat.2", "/"}}},
      {"a move that fails puts the moved ones back",
       {{"t.dat.1", "run 3"}, {"t.dat.2", "run 2"}, {"t.dat.3", "run 1"}},
       "t.dat.1",
       -1,
       0,
       {{"t.dat.1", "run 3"}, {"t.dat.2", "run 2"}, {"t.dat.3", "run 1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFolder folder{c.before, c.failing_move};
    int in_the_way = -7;
    const int moved = shift_generations("t.dat", moves_in(&folder), &in_the_way);
    EXPECT_EQ(moved, c.moved);
    EXPECT_EQ(in_the_way, c.folder);
    EXPECT_EQ(folder.files, c.after);
    if (moved > 0) {
      unshift_generations("t.dat", moves_in(&folder), moved);
      EXPECT_EQ(folder.files, c.before);
    }
  }
}

}  // namespace
