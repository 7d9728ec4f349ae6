#pragma once
// Key-buffer helpers shared by the card's call objects.
#include <cstddef>
#include <string>

// '#', '*', '0'-'9', 'A'-'D' and 'a'-'d'.
bool IsCardKey(int c);
// One scan of a key collection over the buffered keys. True when the scan
// stopped: at an end key (kept in the output unless it is '#') or when the
// output is full (the maximum count, never more than kGetKeysOutMax);
// *consumed is then the number of keys it took from the buffer.
bool ScanKeys(const char* buffer, int maxCount, int endKey, std::string* out, size_t* consumed);
// What a timed-out collection hands out: the buffered keys up to the same cap.
std::string TimedOutKeys(const char* buffer, int maxCount);
// Appends one key, upper-cased, while the buffer holds fewer than kKeysBufferMax.
void AppendKey(char* keys, int c);
// Removes the first count keys.
void DropKeys(char* keys, size_t count);
