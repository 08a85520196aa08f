// What the Wine end-to-end tests share about paths.
#pragma once

#include <filesystem>
#include <string>

// A host path as Wine's programs see it: drive Z: is the root of the file system.
inline std::string windows_path_of(const std::string& path) {
  std::string windows = "Z:" + std::filesystem::canonical(path).string();
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}
