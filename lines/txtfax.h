#pragma once
// Text-to-fax rendering: a text file drawn with 16-dot bitmap fonts into
// bands of 16 scan lines of 1728 pixels, each scan line coded with the
// one-dimensional Modified Huffman code from the table file "huffman.cod",
// written as a single-page TIFF (a name holding ".TIF", any case) or as a
// raw fax file behind a 2048-byte "BIT  FAX" header.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Traditional-Chinese text is recognised and converted by the services
// layer, above this one: whoever renders hands the two functions in. Without
// them every text is drawn as GB with the simplified glyphs.
struct FaxTextCodec {
  bool (*isBig5)(const char* text) = nullptr;
  std::string (*big5ToGb)(std::string_view text) = nullptr;
};

constexpr int kFaxWidth = 1728;
constexpr int kFaxRowBytes = kFaxWidth / 8;  // 216
constexpr int kFaxBandRows = 16;
// Image data and headers.
constexpr long kTiffDataOffset = 238;
constexpr long kRawDataOffset = 2048;
// Fewest records a table needs: terminating codes 0-63 and the make-up codes
// up to a whole line of 1728.
constexpr int kHuffmanMinRecords = 64 + kFaxWidth / 64;
constexpr int kHuffmanRecordBytes = 38;

// "name" inside a resource directory given the Windows way: "%s\name", or
// "%sname" when the directory is empty or already ends in a separator.
std::string FaxResourcePath(const std::string& dir, const char* name);

// One code of the table: its bits, first bit first.
struct FaxCode {
  uint8_t length = 0;
  uint8_t bits[16] = {};
};

class TagCvtFax {
 public:
  // Loads "huffman.cod" from the directory; status 0 loaded, -1 no file (or
  // one too short or inconsistent to code a line with).
  explicit TagCvtFax(const std::string& dir);
  ~TagCvtFax();
  TagCvtFax(const TagCvtFax&) = delete;
  TagCvtFax& operator=(const TagCvtFax&) = delete;

  // Creates the fax file and writes its header area and the first
  // end-of-line; false when it cannot be created.
  bool Open(const std::string& name);
  // Codes one row of 216 bytes: leftmost pixel in the high bit, 1 black.
  void CodeRow(const uint8_t* row);
  // Writes the end of page and the header, and closes the file.
  void ClosePage();

  bool IsTiff() const { return tiff_; }
  int LineCount() const { return lines_; }
  int status = -1;

 private:
  void PutCode(const FaxCode& c);
  void PutBits(int count, bool one);
  void PutByte(uint8_t b);
  void FlushBits(bool all);
  void PutRun(int run, bool black);

  std::vector<FaxCode> white_, black_;
  FaxCode eol_;
  FILE* fp_ = nullptr;
  bool tiff_ = false;
  int lines_ = 0;
  uint8_t buf_[200] = {};
  int bits_ = 0;      // pending bits in buf_
  int rowBits_ = 0;  // bits of the row being coded
};

class DrawMem {
 public:
  // Loads "asc16" and "hzk16" (either missing: status -1) and "hzk16f"
  // (when missing, "hzk16" serves for traditional text).
  explicit DrawMem(const std::string& dir, FaxTextCodec codec = {});

  // Clears the band and draws the text from pixel x on. Pixels past the
  // band's 1728 are cut.
  void DrawLine(const std::string& text, int x);
  const uint8_t* Row(int r) const { return band_ + r * kFaxRowBytes; }
  int status = 0;

 private:
  void PutGlyph(const uint8_t* glyph, int rowBytes, int x);

  FaxTextCodec codec_;
  std::vector<uint8_t> asc_, hz_, hzf_;
  uint8_t band_[kFaxBandRows * kFaxRowBytes] = {};
};

class TagTxtCvtFax {
 public:
  // Renders the text file into the fax file with the code table and fonts of
  // the directory. status: 0 done, -1 no code table, -2 no fonts, -3 the text
  // file cannot be read or is of a refused kind, or the fax file cannot be
  // created.
  TagTxtCvtFax(const std::string& dir, const std::string& textFile, const std::string& faxFile,
               FaxTextCodec codec = {});
  int status = 0;
  // The text's kind: 0 refused (bytes 0x80-0x9F), 1 GB text, 2 UTF-16LE,
  // 3 UTF-8 with its mark (refused); -1 before the file was read.
  int kind = -1;
};

// The kind of a text from its first bytes (at most 80 are looked at).
int FaxTextKind(const uint8_t* head, size_t n);
