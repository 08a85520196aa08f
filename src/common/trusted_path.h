// The file that a name leads to, with each link on the way followed only where the kernel's own
// rule for folders that everyone may write in would follow it: in a sticky folder that others may
// write (/tmp, a shared lab folder of mode 1777), a link is followed only when it is the user's
// own or the folder owner's. So a link that another user planted at test.dat never leads a run
// (root's included) to write or move a file elsewhere, whether or not the system enforces the
// rule itself. The system layer looks at the names; this walks the path.
#pragma once

#include <cstddef>

// The longest path walked.
constexpr size_t kTrustedPathSize = 4096;

struct NameLook {
  bool exists;
  bool is_link;
  unsigned owner;  // of the link itself
};

struct FolderLook {
  bool others_may_write_sticky;  // sticky and writable by everyone
  unsigned owner;
};

struct PathLooks {
  void* context;
  unsigned user;  // who follows the links
  // What stands at `path`, a link not followed; false when it cannot be looked at.
  bool (*look)(void* context, const char* path, NameLook* found);
  // The folder `path` that holds a link.
  bool (*look_at_folder)(void* context, const char* path, FolderLook* found);
  // The target of the link at `path` into `out` (`size` bytes, NUL-ended); false when it
  // cannot be read or does not fit.
  bool (*read_link)(void* context, const char* path, char* out, size_t size);
};

enum class PathWalk {
  kWalked,    // `path` holds where the name leads; nothing needs to stand there yet
  kDangling,  // a link leads nowhere: `link` is the link, `path` where it points
  kPlanted,   // a link the rule does not follow: `link` is the link, `owner` its owner
  kLoop,      // too many links: `link` is the last one
  kTooLong,   // the path does not fit
  kUnseen,    // a name could not be looked at: `link` is the name
};

struct PathFound {
  char path[kTrustedPathSize];
  char link[kTrustedPathSize];
  unsigned owner;
};

// Walks `name`, relative to the folder `folder` (absolute, free of links, as the system gives
// the working folder) unless it is absolute itself, into the absolute path of the file it leads
// to, every "." and ".." resolved.
PathWalk walk_trusted_path(const char* folder, const char* name, const PathLooks& looks,
                           PathFound* found);
