#include "common/command_line.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> split_command_line(const char* line, LeadBytePredicate is_lead_byte) {
  std::vector<std::string> words;
  const char* p = line;
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') break;
    std::string word;
    bool quoted = false;
    while (*p != '\0' && (quoted || !is_blank(*p))) {
      const char c = *p;
      if (is_lead_byte != nullptr && is_lead_byte(static_cast<unsigned char>(c)) && p[1] != '\0') {
        word += c;
        word += p[1];
        p += 2;
      } else if (c == '\\' && p[1] == '"') {
        word += '"';
        p += 2;
      } else if (c == '"') {
        quoted = !quoted;
        ++p;
      } else {
        word += c;
        ++p;
      }
    }
    words.push_back(word);
  }
  return words;
}
