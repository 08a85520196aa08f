// The terminal decoder's records collected into a vector, for the tests and the fuzz target.
#pragma once

#include <cstdint>
#include <vector>

#include "keys/terminal_decoder.h"

inline void put_into_vector(void* records, const KeyRecord& record) {
  static_cast<std::vector<KeyRecord>*>(records)->push_back(record);
}

inline void feed_into(TerminalDecoder* decoder, const unsigned char* bytes, size_t count,
                      int64_t now_ms, std::vector<KeyRecord>* out) {
  KeySink sink = {out, put_into_vector};
  terminal_decoder_feed(decoder, bytes, count, now_ms, &sink);
}

inline void expire_into(TerminalDecoder* decoder, int64_t now_ms, std::vector<KeyRecord>* out) {
  KeySink sink = {out, put_into_vector};
  terminal_decoder_expire(decoder, now_ms, &sink);
}
