#include "logger/decimal_prefix.h"

bool scan_decimal_prefix(const char* text, int32_t* value) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  uint32_t magnitude = 0;  // unsigned, so that long digit strings wrap instead of overflowing
  for (; *p >= '0' && *p <= '9'; ++p) magnitude = magnitude * 10u + uint32_t(*p - '0');
  if (negative) magnitude = 0u - magnitude;
  *value = int32_t(magnitude);
  return true;
}
