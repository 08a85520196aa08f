#include "common/trusted_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

// A tree of names: files, folders ("/", with a mode word), and links with their owners.
struct Entry {
  std::string link;  // the target of a link, or "" for a file or a folder
  unsigned owner;
  bool sticky_for_all;  // a folder that is sticky and that everyone may write in
};

struct FakeTree {
  std::map<std::string, Entry> names;
};

PathLooks looks_in(FakeTree* tree, unsigned user) {
  PathLooks looks;
  looks.context = tree;
  looks.user = user;
  looks.look = [](void* context, const char* path, NameLook* found) {
    const auto& names = static_cast<FakeTree*>(context)->names;
    const auto entry = names.find(path);
    found->exists = entry != names.end();
    found->is_link = found->exists && !entry->second.link.empty();
    found->owner = found->exists ? entry->second.owner : 0;
    return true;
  };
  looks.look_at_folder = [](void* context, const char* path, FolderLook* found) {
    const auto& names = static_cast<FakeTree*>(context)->names;
    const auto entry = names.find(path);
    if (entry == names.end()) return false;
    found->others_may_write_sticky = entry->second.sticky_for_all;
    found->owner = entry->second.owner;
    return true;
  };
  looks.read_link = [](void* context, const char* path, char* out, size_t size) {
    const std::string& target = static_cast<FakeTree*>(context)->names.at(path).link;
    if (target.size() >= size) return false;
    std::strcpy(out, target.c_str());
    return true;
  };
  return looks;
}

// A link is followed where the kernel's rule for sticky folders that everyone may write in would
// follow it (the user's own, or the folder owner's), and anywhere in other folders; a link the
// rule refuses is named with its owner, a dangling one with where it points.
TEST(TrustedPath, FollowsOnlyTheLinksTheStickyFolderRuleTrusts) {
  const std::map<std::string, Entry> tree = {
      {"/", {"", 0, false}},         {"/lab", {"", 1000, false}},
      {"/shared", {"", 0, true}},    {"/mine", {"", 1000, true}},
      {"/stick", {"", 1000, false}}, {"/stick/run.dat", {"", 1000, false}},
      {"/etc", {"", 0, false}},      {"/etc/shadow", {"", 0, false}},
      {"/tmp", {"", 0, true}},       {"/tmp/evil", {"/etc", 2000, false}},
  };
  const struct {
    const char* name;
    std::string folder;
    std::string file;
    std::map<std::string, Entry> links;
    unsigned user;
    PathWalk walk;
    std::string path;
    std::string link;
    unsigned owner;
  } cases[] = {
      {"a name with nothing at it",
       "/lab",
       "test.dat",
       {},
       0,
       PathWalk::kWalked,
       "/lab/test.dat",
       "",
       0},
      {"a link to a file elsewhere",
       "/lab",
       "test.dat",
       {{"/lab/test.dat", {"/stick/run.dat", 1000, false}}},
       0,
       PathWalk::kWalked,
       "/stick/run.dat",
       "/lab/test.dat",
       0},
      {"a relative link and a chain of them",
       "/lab",
       "test.dat",
       {{"/lab/test.dat", {"../lab/./a", 1000, false}},
        {"/lab/a", {"../stick//run.dat", 0, false}}},
       0,
       PathWalk::kWalked,
       "/stick/run.dat",
       "/lab/a",
       0},
      {"another user's link in a sticky folder everyone may write",
       "/shared",
       "test.dat",
       {{"/shared/test.dat", {"/etc/shadow", 2000, false}}},
       0,
       PathWalk::kPlanted,
       "/shared",
       "/shared/test.dat",
       2000},
      {"the user's own link there",
       "/shared",
       "test.dat",
       {{"/shared/test.dat", {"/stick/run.dat", 1000, false}}},
       1000,
       PathWalk::kWalked,
       "/stick/run.dat",
       "/shared/test.dat",
       0},
      {"the folder owner's link there",
       "/mine",
       "test.dat",
       {{"/mine/test.dat", {"/stick/run.dat", 1000, false}}},
       0,
       PathWalk::kWalked,
       "/stick/run.dat",
       "/mine/test.dat",
       0},
      {"another user's link in a folder that is not sticky",
       "/lab",
       "test.dat",
       {{"/lab/test.dat", {"/stick/run.dat", 2000, false}}},
       0,
       PathWalk::kWalked,
       "/stick/run.dat",
       "/lab/test.dat",
       0},
      {"a planted link on the way of a trusted one",
       "/lab",
       "test.dat",
       {{"/lab/test.dat", {"/tmp/evil/shadow", 1000, false}}},
       0,
       PathWalk::kPlanted,
       "/tmp",
       "/tmp/evil",
       2000},
      {"a link that leads nowhere",
       "/lab",
       "test.dat",
       {{"/lab/test.dat", {"/media/stick/run.dat", 1000, false}}},
       0,
       PathWalk::kDangling,
       "/media/stick/run.dat",
       "/lab/test.dat",
       0},
      {"a loop",
       "/lab",
       "test.dat",
       {{"/lab/test.dat", {"a", 0, false}}, {"/lab/a", {"test.dat", 0, false}}},
       0,
       PathWalk::kLoop,
       "/lab",
       "/lab/test.dat",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTree fake{tree};
    fake.names.insert(c.links.begin(), c.links.end());
    PathFound found;
    EXPECT_EQ(walk_trusted_path(c.folder.c_str(), c.file.c_str(), looks_in(&fake, c.user), &found),
              c.walk);
    EXPECT_EQ(found.path, c.path);
    EXPECT_EQ(found.link, c.link);
    EXPECT_EQ(found.owner, c.owner);
  }
}

}  // namespace
