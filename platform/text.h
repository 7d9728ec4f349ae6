#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace plat {

// Text inside the system is bytes in the GB code page; these convert at the
// edges. Characters that cannot be converted become '?'.
std::string Utf8ToGbk(std::string_view utf8);
std::string GbkToUtf8(std::string_view gbk);
// Any iconv code page pair ("GBK", "BIG5", "UTF-8", "UTF-7", ...). Returns
// false when the pair is unknown. A character that cannot be read or written
// becomes one '?' (in the target's encoding) and conversion goes on after it.
// Converters are kept per thread, so calling it often is cheap.
bool ConvertCodePage(std::string_view in, const char* from, const char* to, std::string& out);

// The character set of the user's locale (LC_ALL, LC_CTYPE, LANG), as the
// terminal shows text: "UTF-8" in a UTF-8 locale, "ANSI_X3.4-1968" in C.
std::string TerminalCharset();
// GB text as the terminal shows it; what the terminal's set lacks becomes '?'.
std::string GbkToTerminal(std::string_view gbk);
// Writes GB text to a standard stream in the terminal's character set and
// flushes it. Files the system writes keep their GB bytes; this is only for
// standard output and error.
void WriteTerminal(FILE* stream, std::string_view gbk);

// True when byte c starts a two-byte GB character.
inline bool IsGbLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

}  // namespace plat

// A Chinese text of the system, written in UTF-8 in the source, as GB bytes.
// Converted once per place of use.
#define GBK(utf8literal)                                                  \
  ([]() -> const std::string& {                                           \
    static const std::string converted = ::plat::Utf8ToGbk(utf8literal); \
    return converted;                                                     \
  }())
