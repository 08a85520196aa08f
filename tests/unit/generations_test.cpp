#include "common/generations.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// A folder of names, each a file with its content or a folder ("/"), and a run's files in it. A
// name's content says what the system's take finds there: "<device>" a device, "<refused>" a
// file it may not take; nothing at all, a file it makes. A move or a new file can be made to fail.
struct FakeFolder {
  std::map<std::string, std::string> files;
  std::vector<std::string> names;  // the run's files, the first first
  std::string failing_move;        // a move from this name fails
  std::string failing_new;         // this file's new one cannot be made
  std::vector<std::string> made;   // what take made, removed when the file is left out
  std::string in_the_way;          // the folder the system was told of
};

FakeFolder* folder_of(void* context) {
  return static_cast<FakeFolder*>(context);
}

std::string name_of(FakeFolder* folder, int file, int generation) {
  const std::string& name = folder->names[size_t(file)];
  if (generation == kNewFile) return name + ".new";
  return generation == 0 ? name : name + "." + std::to_string(generation);
}

RunFileSystem system_of(FakeFolder* folder) {
  RunFileSystem system;
  system.context = folder;
  system.take = [](void* context, int file) {
    FakeFolder* folder = folder_of(context);
    const std::string name = name_of(folder, file, 0);
    const auto found = folder->files.find(name);
    if (found == folder->files.end()) {
      folder->files[name] = "";
      folder->made.push_back(name);
      return Found::kMade;
    }
    if (found->second == "<device>") return Found::kDevice;
    if (found->second == "<refused>") return Found::kRefused;
    return found->second.empty() ? Found::kEmpty : Found::kEarlierRun;
  };
  system.make_new = [](void* context, int file) {
    FakeFolder* folder = folder_of(context);
    if (folder->names[size_t(file)] == folder->failing_new) return false;
    folder->files[name_of(folder, file, kNewFile)] = "new";
    return true;
  };
  system.holds = [](void* context, int file, int generation) {
    FakeFolder* folder = folder_of(context);
    const auto found = folder->files.find(name_of(folder, file, generation));
    if (found == folder->files.end()) return NameHolds::kNothing;
    return found->second == "/" ? NameHolds::kFolder : NameHolds::kFile;
  };
  system.move = [](void* context, int file, int from, int to) {
    FakeFolder* folder = folder_of(context);
    const std::string source = name_of(folder, file, from);
    const std::string target = name_of(folder, file, to);
    if (source == folder->failing_move || folder->files.count(target) != 0 ||
        folder->files.count(source) == 0) {
      return false;
    }
    folder->files[target] = folder->files[source];
    folder->files.erase(source);
    return true;
  };
  system.finish_new = [](void* context, int file, bool adopted) {
    FakeFolder* folder = folder_of(context);
    if (!adopted) folder->files.erase(name_of(folder, file, kNewFile));
  };
  system.leave_out = [](void* context, int file) {
    FakeFolder* folder = folder_of(context);
    const std::string name = name_of(folder, file, 0);
    for (const std::string& made : folder->made) {
      if (made == name) folder->files.erase(name);
    }
  };
  system.folder_in_the_way = [](void* context, int file, int generation) {
    FakeFolder* folder = folder_of(context);
    folder->in_the_way = name_of(folder, file, generation);
  };
  return system;
}

using Files = std::map<std::string, std::string>;

// One decision for the run: when any file holds an earlier run, every file's earlier runs move up
// together and each file that holds something becomes NAME.1, so that NAME.N of every file is the
// same run; nothing is overwritten, and a sequence that cannot be made whole changes nothing.
TEST(RunFiles, KeepTheEarlierRunAsOneGenerationOrChangeNothing) {
  const std::vector<std::string> both = {"t.dat", "t.csv"};
  const struct {
    const char* name;
    Files before;
    std::string failing_move;
    std::string failing_new;
    bool started;
    std::vector<Found> found;
    Files after;
    std::string in_the_way;
  } cases[] = {
      {"the first run: both made",
       {},
       "",
       "",
       true,
       {Found::kMade, Found::kMade},
       {{"t.dat", ""}, {"t.csv", ""}},
       ""},
      {"a run after runs",
       {{"t.dat", "run 3"}, {"t.csv", "times 3"}, {"t.dat.1", "run 2"}, {"t.csv.1", "times 2"}},
       "",
       "",
       true,
       {Found::kEarlierRun, Found::kEarlierRun},
       {{"t.dat", "new"},
        {"t.csv", "new"},
        {"t.dat.1", "run 3"},
        {"t.csv.1", "times 3"},
        {"t.dat.2", "run 2"},
        {"t.csv.2", "times 2"}},
       ""},
      {"an empty t.dat stays, and t.csv's earlier run takes the number with t.dat's",
       {{"t.dat", ""}, {"t.csv", "times 3"}, {"t.dat.1", "run 2"}, {"t.csv.1", "times 2"}},
       "",
       "",
       true,
       {Found::kEmpty, Found::kEarlierRun},
       {{"t.dat", ""},
        {"t.csv", "new"},
        {"t.csv.1", "times 3"},
        {"t.dat.2", "run 2"},
        {"t.csv.2", "times 2"}},
       ""},
      {"a run without times keeps the numbers together",
       {{"t.dat", "run 3"}, {"t.dat.1", "run 2"}, {"t.dat.2", "run 1"}, {"t.csv.2", "times 1"}},
       "",
       "",
       true,
       {Found::kEarlierRun, Found::kMade},
       {{"t.dat", "new"},
        {"t.csv", ""},
        {"t.dat.1", "run 3"},
        {"t.dat.2", "run 2"},
        {"t.dat.3", "run 1"},
        {"t.csv.3", "times 1"}},
       ""},
      {"a gap in every file ends the earlier runs: what lies past it stays",
       {{"t.dat", "run 3"}, {"t.dat.1", "run 2"}, {"t.dat.3", "run 0"}},
       "",
       "",
       true,
       {Found::kEarlierRun, Found::kMade},
       {{"t.dat", "new"},
        {"t.csv", ""},
        {"t.dat.1", "run 3"},
        {"t.dat.2", "run 2"},
        {"t.dat.3", "run 0"}},
       ""},
      {"a refused t.csv stays as it is, and its earlier runs move with t.dat's",
       {{"t.dat", "run 2"}, {"t.csv", "<refused>"}, {"t.dat.1", "run 1"}, {"t.csv.1", "times 1"}},
       "",
       "",
       true,
       {Found::kEarlierRun, Found::kRefused},
       {{"t.dat", "new"},
        {"t.csv", "<refused>"},
        {"t.dat.1", "run 2"},
        {"t.dat.2", "run 1"},
        {"t.csv.2", "times 1"}},
       ""},
      {"a device has no earlier runs",
       {{"t.dat", "<device>"}, {"t.csv", "times 2"}},
       "",
       "",
       true,
       {Found::kDevice, Found::kEarlierRun},
       {{"t.dat", "<device>"}, {"t.csv", "new"}, {"t.csv.1", "times 2"}},
       ""},
      {"a refused t.dat: t.csv is not even looked at",
       {{"t.dat", "<refused>"}},
       "",
       "",
       false,
       {Found::kRefused},
       {{"t.dat", "<refused>"}},
       ""},
      {"a folder among t.csv's earlier runs: nothing moves, and what was made goes",
       {{"t.csv", "times 2"}, {"t.csv.1", "times 1"}, {"t.csv.2", "/"}},
       "",
       "",
       false,
       {Found::kMade, Found::kEarlierRun},
       {{"t.csv", "times 2"}, {"t.csv.1", "times 1"}, {"t.csv.2", "/"}},
       "t.csv.2"},
      {"a move that fails puts every moved name back",
       {{"t.dat", "run 3"}, {"t.csv", "times 3"}, {"t.dat.1", "run 2"}, {"t.csv.1", "times 2"}},
       "t.csv",
       "",
       false,
       {Found::kEarlierRun, Found::kEarlierRun},
       {{"t.dat", "run 3"}, {"t.csv", "times 3"}, {"t.dat.1", "run 2"}, {"t.csv.1", "times 2"}},
       ""},
      {"a new file that cannot be made: nothing moves",
       {{"t.dat", "run 2"}, {"t.csv", "times 2"}},
       "",
       "t.csv",
       false,
       {Found::kEarlierRun, Found::kEarlierRun},
       {{"t.dat", "run 2"}, {"t.csv", "times 2"}},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFolder folder{c.before, both, c.failing_move, c.failing_new, {}, ""};
    Found found[2] = {Found::kRefused, Found::kRefused};
    EXPECT_EQ(start_run_files(system_of(&folder), 2, found), c.started);
    for (size_t file = 0; file < c.found.size(); ++file) {
      EXPECT_EQ(found[file], c.found[file]) << file;
    }
    EXPECT_EQ(folder.files, c.after);
    EXPECT_EQ(folder.in_the_way, c.in_the_way);
  }
}

// A file whose name no longer leads to it during the run gets its name back: whatever took the
// name is kept as NAME.1, every file's earlier runs moving up with it; a folder at the name, or a
// move that fails, leaves everything as it was for a later try.
TEST(RunFiles, AFileThatLostItsNameIsPutBackAndWhatTookItKept) {
  const struct {
    const char* name;
    Files before;
    std::string failing_move;
    bool back;
    Files after;
  } cases[] = {
      {"removed", {{"t.csv", "times"}}, "", true, {{"t.dat", "new"}, {"t.csv", "times"}}},
      {"replaced",
       {{"t.dat", "other"}, {"t.csv", "times"}, {"t.dat.1", "run 1"}, {"t.csv.1", "times 1"}},
       "",
       true,
       {{"t.dat", "new"},
        {"t.csv", "times"},
        {"t.dat.1", "other"},
        {"t.dat.2", "run 1"},
        {"t.csv.2", "times 1"}}},
      {"a folder at the name", {{"t.dat", "/"}}, "", false, {{"t.dat", "/"}}},
      {"a move that fails",
       {{"t.dat", "other"}, {"t.dat.1", "run 1"}},
       "t.dat",
       false,
       {{"t.dat", "other"}, {"t.dat.1", "run 1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFolder folder{c.before, {"t.dat", "t.csv"}, c.failing_move, "", {}, ""};
    EXPECT_EQ(put_back_run_file(system_of(&folder), 2, 0), c.back);
    EXPECT_EQ(folder.files, c.after);
  }
}

}  // namespace
