#pragma once
// Texts in Big5 (traditional Chinese) that reach the system's GB texts:
// detection by byte pattern and conversion to simplified GB.
#include <string>
#include <string_view>

// True when the NUL-terminated text holds a Big5 lead byte (0xA1-0xF9)
// followed by a trail byte in 0x40-0x7E, a pair GB2312 never has. Runs of
// high bytes are read in pairs, so the second byte of a GB pair is never
// taken for a lead.
bool IsBig5Text(const char* text);

// The text read as Big5 (code page 950), with traditional characters mapped
// to simplified ones, in GB bytes. A byte that is no Big5 character, or a
// character GB has no form for, becomes '?'.
std::string Big5ToGbk(std::string_view big5);
