#pragma once
// Blank trimming shared by the string operations, the data sets and the
// window settings reader. Blanks are spaces and tabs; zero bytes at the end
// of a fixed-size field count as blanks too.
#include <string>

namespace plat {

// Trims buf in place within its first length bytes: leading spaces and tabs,
// trailing spaces, tabs and zero bytes. The kept bytes move to the front and
// are ended with a zero when that fits inside length. Returns the kept length
// + 1 (1 for a text of blanks or an empty text, length + 1 for a length of 0
// or less, which is left alone).
int TrimBuffer(char* buf, int length);
// TrimBuffer over the text's own length (up to its zero byte).
int TrimText(char* text);
void TrimText(std::string& text);
// Removes every space and tab of a zero-terminated text in place.
void RemoveAllBlanks(char* text);
void RemoveAllBlanks(std::string& text);

}  // namespace plat
