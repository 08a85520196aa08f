#include "common/trusted_path.h"

#include <cstring>

namespace {

// As many links as the system follows in one path before it calls it a loop.
constexpr int kMostLinks = 40;

// Appends "/" and `part` (`length` bytes) to `path`; false when it does not fit.
bool append_part(char* path, const char* part, size_t length) {
  const size_t used = std::strlen(path);
  if (used + 1 + length >= kTrustedPathSize) return false;
  path[used] = '/';
  std::memcpy(path + used + 1, part, length);
  path[used + 1 + length] = '\0';
  return true;
}

// Whether the rule follows a link of `owner` in `folder`: one that others may write in and that
// is sticky lends no link of a third user any trust.
bool may_follow(const FolderLook& folder, unsigned owner, unsigned user) {
  return !folder.others_may_write_sticky || owner == user || owner == folder.owner;
}

}  // namespace

PathWalk walk_trusted_path(const char* folder, const char* name, const PathLooks& looks,
                           PathFound* found) {
  char* resolved = found->path;  // free of links; "" is the root
  found->link[0] = '\0';
  found->owner = 0;
  resolved[0] = '\0';
  if (name[0] != '/') {
    if (std::strlen(folder) >= kTrustedPathSize) return PathWalk::kTooLong;
    std::strcpy(resolved, std::strcmp(folder, "/") == 0 ? "" : folder);
  }
  char pending[kTrustedPathSize];  // what is still to walk
  if (std::strlen(name) >= sizeof pending) return PathWalk::kTooLong;
  std::strcpy(pending, name);
  int links = 0;
  for (const char* rest = pending; *rest != '\0';) {
    while (*rest == '/') ++rest;
    const char* end = rest;
    while (*end != '\0' && *end != '/') ++end;
    const size_t length = size_t(end - rest);
    const char* part = rest;
    rest = end;
    while (*rest == '/') ++rest;
    if (length == 0 || (length == 1 && part[0] == '.')) continue;
    if (length == 2 && part[0] == '.' && part[1] == '.') {
      char* slash = std::strrchr(resolved, '/');
      if (slash != nullptr) *slash = '\0';
      continue;
    }
    const size_t before = std::strlen(resolved);
    if (!append_part(resolved, part, length)) return PathWalk::kTooLong;
    NameLook look;
    if (!looks.look(looks.context, resolved, &look)) {
      std::strcpy(found->link, resolved);
      return PathWalk::kUnseen;
    }
    if (!look.exists) {
      // Where the name leads, whole: what is missing is made, or the system says why not.
      if (*rest != '\0' && !append_part(resolved, rest, std::strlen(rest))) {
        return PathWalk::kTooLong;
      }
      return links > 0 ? PathWalk::kDangling : PathWalk::kWalked;
    }
    if (!look.is_link) continue;
    std::strcpy(found->link, resolved);
    resolved[before] = '\0';
    if (++links > kMostLinks) return PathWalk::kLoop;
    FolderLook holder;
    if (!looks.look_at_folder(looks.context, before == 0 ? "/" : resolved, &holder)) {
      std::strcpy(found->link, before == 0 ? "/" : resolved);
      return PathWalk::kUnseen;
    }
    if (!may_follow(holder, look.owner, looks.user)) {
      found->owner = look.owner;
      return PathWalk::kPlanted;
    }
    char target[kTrustedPathSize];
    if (!looks.read_link(looks.context, found->link, target, sizeof target)) {
      return PathWalk::kUnseen;
    }
    // The link's target, then what was left of the path after the link.
    if (*rest != '\0' && !append_part(target, rest, std::strlen(rest))) return PathWalk::kTooLong;
    std::strcpy(pending, target);
    rest = pending;
    if (target[0] == '/') resolved[0] = '\0';
  }
  if (resolved[0] == '\0') std::strcpy(resolved, "/");
  return PathWalk::kWalked;
}
