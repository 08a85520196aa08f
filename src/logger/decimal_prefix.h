// The decimal number at the start of a text, read the same way for the port argument and for a
// reading.
#pragma once

#include <cstdint>

// Skips leading white space (TAB, LF, VT, FF, CR, space), takes one optional sign and the digits
// after it, accumulating modulo 2^32. False, with `value` untouched, when no digit follows.
bool scan_decimal_prefix(const char* text, int32_t* value);
