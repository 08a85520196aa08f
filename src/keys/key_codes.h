// The console key logic shared by every platform: the key table, which gives a key-down record
// its code by its virtual key and the strongest modifier held (Alt, then Ctrl, then Shift), the
// pending extended code, and which queued records count.
#pragma once

#include <cstdint>

// Control-key state bits of a key record.
enum : uint32_t {
  kRightAlt = 0x1,
  kLeftAlt = 0x2,
  kRightCtrl = 0x4,
  kLeftCtrl = 0x8,
  kShift = 0x10,
};

// One queued console input record.
struct KeyRecord {
  bool is_key_event;  // false for mouse, window-size, menu and focus records
  bool key_down;
  uint16_t virtual_key;
  char character;  // 0 when the key produced none
  uint32_t control_state;
};

// The four console operations the key logic needs, over any queue (the platform's console, or a
// test's). Each returns false when the console failed.
struct ConsoleQueue {
  void* context;
  bool (*count)(void* context, uint32_t* queued);
  // Copies the queued records, oldest first, without removing any: all of them, or as many as
  // `capacity` or the console allows in one look; *copied is how many.
  bool (*peek)(void* context, KeyRecord* records, uint32_t capacity, uint32_t* copied);
  // Removes and returns the oldest record, waiting while the queue is empty.
  bool (*remove_oldest)(void* context, KeyRecord* record);
  bool (*get_mode)(void* context, uint32_t* mode);
  bool (*set_mode)(void* context, uint32_t mode);
};

// The most queued records one look at the console examines.
constexpr uint32_t kMostRecordsLookedAt = 8192;

// What the key logic keeps from one call to the next: the extended code still to be delivered,
// or -1.
struct KeyState {
  int pending_extended = -1;
};

// Whether the key table has a row for this virtual-key code.
bool key_has_row(uint16_t virtual_key);

// The code of a key-down record by the table and the modifier precedence; -1 when it yields none.
int key_record_code(const KeyRecord& record);

// 1 when a key is waiting, 0 when none is; never waits and never changes the input mode. It
// removes nothing that read_key would deliver, but when a look at the console cannot take in
// the whole queue and finds no key, it takes off the records at the front that read_key would
// pass over anyway.
int key_pending_from(ConsoleQueue* console, KeyState* state);

// The next key code: a character, a table code, or 0 before an extended code that the next call
// delivers; -1 when the console failed. Waits for a key and never echoes.
int read_key_from(ConsoleQueue* console, KeyState* state);
