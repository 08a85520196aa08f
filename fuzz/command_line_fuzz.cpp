// libFuzzer target: the Windows command-line splitter fed any line, in a single-byte code page and
// in CP932. Whatever the line, the words are made of its own bytes, in order, and no more of
// them; a double-byte character is never split; a line with no quote or backslash splits at its
// blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/command_line.h"

namespace {

bool is_cp932_lead_byte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The words of a line split at runs of spaces and tabs, nothing else.
std::vector<std::string> split_at_blanks(const std::string& line) {
  std::vector<std::string> words;
  size_t at = line.find_first_not_of(" \t");
  while (at != std::string::npos) {
    const size_t end = line.find_first_of(" \t", at);
    words.push_back(line.substr(at, end == std::string::npos ? end : end - at));
    at = line.find_first_not_of(" \t", end);
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const LeadBytePredicate is_lead_byte = (data[0] & 1) ? is_cp932_lead_byte : nullptr;
  // The line ends at its first NUL, as a command line does; the copy is exactly that long.
  const std::string line(reinterpret_cast<const char*>(data + 1),
                         strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
  std::vector<char> exact(line.begin(), line.end());
  exact.push_back('\0');
  const std::vector<std::string> words = split_command_line(exact.data(), is_lead_byte);

  // The words, one after another, are a subsequence of the line.
  size_t at = 0;
  for (const std::string& word : words) {
    for (char c : word) {
      at = line.find(c, at);
      if (at == std::string::npos) std::abort();
      ++at;
    }
  }
  // A lead byte keeps its second byte in the same word, unless the line ended after it.
  if (is_lead_byte != nullptr) {
    for (const std::string& word : words) {
      for (size_t k = 0; k < word.size(); ++k) {
        if (!is_lead_byte(static_cast<unsigned char>(word[k]))) continue;
        if (k + 1 == word.size() && &word != &words.back()) std::abort();
        ++k;
      }
    }
  }
  if (line.find_first_of("\"\\") == std::string::npos) {
    bool has_lead_byte = false;
    for (char c : line)
      has_lead_byte |= is_lead_byte && is_lead_byte(static_cast<unsigned char>(c));
    if (!has_lead_byte && words != split_at_blanks(line)) std::abort();
  }
  return 0;
}
