// The platform half of console key input: the console's queue of key records through four
// operations, over which the shared key logic answers key_pending and read_key. Each returns
// false when the console failed.
#pragma once

#include <cstdint>

#include "keys/key_codes.h"

bool console_count(uint32_t* queued);
// Copies the queued records, oldest first, without removing any: all of them, or as many as
// `capacity` or the console allows in one look; *copied is how many.
bool console_peek(KeyRecord* records, uint32_t capacity, uint32_t* copied);
// Removes and returns the oldest record, waiting while the queue is empty.
bool console_remove_oldest(KeyRecord* record);
bool console_get_mode(uint32_t* mode);
bool console_set_mode(uint32_t mode);
