#pragma once
// Percent escaping and Base64 as the encoding operations of scripts use them.
#include <string>
#include <string_view>

// The bytes before the first zero byte, with every byte other than 0x21-0x24,
// 0x26-0x2A and 0x2C-0x7E (so space, %, +, control and high bytes) written
// as % and two upper-case hex digits.
std::string PercentEncode(std::string_view text);
// The bytes before the first zero byte, each % and the two bytes after it
// replaced by the byte those two read as a hex number. The number ends at the
// first byte that is not a hex digit; a % with no digit after it, or with
// fewer than two bytes left, is copied as it is. + stays +.
std::string PercentDecode(std::string_view text);

// Standard Base64 with = padding and no line breaks, 4 characters per
// started group of 3 bytes.
std::string Base64Encode(std::string_view bytes);
// The 6-bit value of a Base64 character; 0 for anything else, = included.
int Base64Value(char c);
// Decodes text into out: -1 (out untouched) when its length is not a
// multiple of 4, else the byte count. A last group ending in == gives one
// byte and one ending in = two; characters outside the alphabet read as 0.
int Base64Decode(std::string_view text, std::string& out);
