#pragma once
// Number reading: a number, an amount of money, a date or a time turned into
// the stems of the voice files that speak it, in speaking order.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Chinese units reading of a digit text with an optional decimal part. With
// money set, the first three decimals add jiao, fen and li. The leading
// "1 shi" rule of the callers is not applied here (see ReadUnits).
std::vector<std::string> NumberToUnitCodes(std::string_view text, bool money);

// English number words from the decimal stems "0".."20", "30".."90" (or the
// words themselves when built so), "hundred", "thousand", "million",
// "billion" and "and".
class TagEnNumber {
 public:
  explicit TagEnNumber(bool words = false);
  // The words of n appended to out; their count (none for 0 and below).
  int NumberToWords(int32_t n, std::vector<std::string>& out) const;
  // One stem per digit of text; other characters skipped. The count.
  int DigitsToWords(std::string_view text, std::vector<std::string>& out) const;
  const std::string& Stem(int n) const;  // 0..20, 30..90

 private:
  std::string stems_[91];
};

// The process-wide English reader (decimal stems).
const TagEnNumber& EnNumber();

// The stems that read text in mode (0 number, 1 money, 2 digits, 3 date,
// 4 clock time, 5 duration) and language (2 English, else Chinese).
// Returns false for an invalid date or time or an unknown mode (out empty);
// an empty out with true means there was nothing to read.
bool NumberReadingStems(std::string_view text, int mode, int language, std::vector<std::string>& out);
