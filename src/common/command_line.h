// The arguments of a process that receives its command line as one string (Windows): split by
// the rules of the Windows command line. Pure, so it is built and unit-tested on every platform.
#pragma once

#include <string>
#include <vector>

// Whether a byte is the first byte of a double-byte character of the ANSI code page.
using LeadBytePredicate = bool (*)(unsigned char byte);

// Splits `line` into its words, the program name as typed first; the caller skips that one.
// - Words are separated by runs of spaces and tabs; blanks at either end add no word.
// - A double quote opens a section that runs to the next double quote or to the end of the line;
//   spaces and tabs inside it belong to the word. The quote marks are dropped; a section may
//   adjoin unquoted text of the same word, and a word of nothing but `""` is an empty word.
// - A backslash directly before a double quote is a literal double quote that neither opens nor
//   closes a section; every other backslash is literal (a doubled backslash stays two).
// - A byte for which `is_lead_byte` holds takes the next byte with it, whatever that is, so the
//   second byte of a double-byte character is never read as a backslash, quote or blank.
//   A null predicate means a single-byte code page.
// - Asterisks and question marks are ordinary bytes: nothing is expanded.
std::vector<std::string> split_command_line(const char* line, LeadBytePredicate is_lead_byte);
