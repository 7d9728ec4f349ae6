#include "lines/txtfax.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/tempdir.h"
#include "tools/t4codes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                               static_cast<std::streamsize>(b.size()));
}
void WriteText(const std::string& path, const std::string& s) { WriteBytes(path, Bytes(s.begin(), s.end())); }

uint32_t Le32At(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A blank row: white make-up 1728, white 0, zero fill to bit 180, end-of-line.
Bytes BlankRow() {
  Bytes r(24, 0);
  r[0] = 0xB2;
  r[1] = 0x59;
  r[2] = 0x01;
  r[23] = 0x80;
  return r;
}

// Tiny fonts: 'A' is a diagonal, '#' is stripes of single pixels (runs of
// two once doubled), GB 0xB0A1 a full block and its traditional twin a frame.
class FaxDir : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(dir / "huffman.cod", t4::HuffmanCodFile());
    Bytes asc(256 * 16, 0);
    for (int r = 0; r < 16; r++) asc['A' * 16 + r] = static_cast<uint8_t>(0x80 >> (r % 8));
    for (int r = 0; r < 16; r++) asc['#' * 16 + r] = 0x55;
    WriteBytes(dir / "asc16", asc);
    WriteBytes(dir / "hzk16", Font(0xFF));
    WriteBytes(dir / "hzk16f", Font(0x81));
  }
  static Bytes Font(uint8_t fill) {
    Bytes f(94 * 94 * 32, 0);
    size_t at = ((0xB0 - 0xA1) * 94 + 0) * 32;
    std::memset(f.data() + at, fill, 32);
    return f;
  }
  std::string Render(const std::string& text, const std::string& faxName, int* status) {
    WriteText(dir / "t.txt", text);
    TagTxtCvtFax c(dir.path(), dir / "t.txt", dir / faxName);
    *status = c.status;
    return dir / faxName;
  }
  testsupport::TempDir dir;
};

TEST_F(FaxDir, RawFileOfOneBlankLineHasExactBytes) {
  int status = 1;
  Bytes f = ReadBytes(Render("\n", "out.fax", &status));
  ASSERT_EQ(status, 0);
  Bytes want(2048, 0);
  const char* magic = "BIT  FAX";
  std::memcpy(want.data(), magic, 8);
  want[8] = 0x30;
  want[9] = 0x01;
  uint32_t dataLen = 2 + 17 * 24 + 9;
  want[20] = static_cast<uint8_t>(dataLen);
  want[21] = static_cast<uint8_t>(dataLen >> 8);
  want[24] = 0x00;
  want[25] = 0x08;  // 2048
  want.push_back(0x00);
  want.push_back(0x80);
  for (int i = 0; i < 17; i++) {
    Bytes r = BlankRow();
    want.insert(want.end(), r.begin(), r.end());
  }
  for (int i = 0; i < 3; i++) want.insert(want.end(), {0x00, 0x08, 0x80});
  EXPECT_EQ(f, want);
}

TEST_F(FaxDir, TiffHeaderAndDirectoryEntries) {
  int status = 1;
  Bytes f = ReadBytes(Render("\n\n", "page.tif", &status));  // lower-case extension
  ASSERT_EQ(status, 0);
  ASSERT_EQ(f.size(), 238u + 2 + 34 * 24 + 9);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 24),
            (Bytes{'I', 'I', 42, 0, 24, 0, 0, 0, 204, 0, 0, 0, 1, 0, 0, 0, 196, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(f[24] | (f[25] << 8), 16);
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  const Entry want[16] = {{254, 4, 1, 2},   {256, 4, 1, 1728},  {257, 4, 1, 34},
                          {258, 3, 1, 1},   {259, 3, 1, 3},     {262, 3, 1, 0},
                          {266, 3, 1, 2},   {273, 4, 1, 238},   {277, 3, 1, 1},
                          {278, 4, 1, 34},  {279, 4, 1, 2 + 34 * 24 + 9},
                          {282, 5, 1, 8},   {283, 5, 1, 16},    {292, 4, 1, 4},
                          {296, 3, 1, 2},   {297, 3, 2, 1}};
  for (int i = 0; i < 16; i++) {
    size_t at = 26 + 12 * static_cast<size_t>(i);
    SCOPED_TRACE(i);
    EXPECT_EQ(f[at] | (f[at + 1] << 8), want[i].tag);
    EXPECT_EQ(f[at + 2] | (f[at + 3] << 8), want[i].type);
    EXPECT_EQ(Le32At(f, at + 4), want[i].count);
    EXPECT_EQ(Le32At(f, at + 8), want[i].value);
  }
  EXPECT_EQ(Le32At(f, 218), 0u);  // no next directory
  EXPECT_EQ(Bytes(f.begin() + 222, f.begin() + 238), Bytes(f.begin() + 8, f.begin() + 24));
  EXPECT_EQ(Bytes(f.begin() + 238, f.begin() + 240), (Bytes{0x00, 0x80}));
  EXPECT_EQ(Bytes(f.begin() + 240, f.begin() + 264), BlankRow());
}

TEST_F(FaxDir, RowStartingBlackCodesWhiteRunOfZeroFirst) {
  DrawMem d(dir.path());
  ASSERT_EQ(d.status, 0);
  d.DrawLine("A", 0);  // row 0: two black pixels at the left edge
  TagCvtFax c(dir.path());
  ASSERT_EQ(c.status, 0);
  ASSERT_TRUE(c.Open(dir / "row.fax"));
  c.CodeRow(d.Row(0));
  c.ClosePage();
  Bytes f = ReadBytes(dir / "row.fax");
  ASSERT_EQ(f.size(), 2048u + 2 + 24 + 9);
  Bytes row(f.begin() + 2050, f.begin() + 2074);
  Bytes want(24, 0);
  // white 0, black 2, white make-up 1664, white 62
  want[0] = 0xAC;
  want[1] = 0x1B;
  want[2] = 0xCC;
  want[23] = 0x80;
  EXPECT_EQ(row, want);
}

// Every page decodes with libtiff into exactly the rows that were drawn,
// including rows of many short runs and lines drawn past the page's width.
TEST_F(FaxDir, LibtiffDecodesEveryRowAsDrawn) {
  struct Case {
    const char* name;
    std::string line;
  };
  const Case cases[] = {
      {"letters", "A A  AA"},
      {"chinese", "\xB0\xA1 A \xB0\xA1"},
      {"short runs past the width", std::string(200, '#')},
      {"tabs", "\tA\t\xB0\xA1"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    int status = 1;
    std::string path = Render(k.line + "\r\n" + k.line + "\n", "p.TIF", &status);
    ASSERT_EQ(status, 0);
    std::string drawn = "     ";
    for (char ch : k.line) drawn += ch == '\t' ? std::string("    ") : std::string(1, ch);
    DrawMem d(dir.path());
    d.DrawLine(drawn, 40);

    TIFF* t = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    EXPECT_EQ(w, 1728u);
    ASSERT_EQ(h, 34u);
    ASSERT_EQ(TIFFScanlineSize(t), 216);
    Bytes got(216);
    for (uint32_t r = 0; r < h; r++) {
      ASSERT_EQ(TIFFReadScanline(t, got.data(), r, 0), 1) << "row " << r;
      int band = static_cast<int>(r % 17);
      Bytes want = band < 16 ? Bytes(d.Row(band), d.Row(band) + 216) : Bytes(216, 0);
      ASSERT_EQ(got, want) << "row " << r;
    }
    EXPECT_EQ(TIFFReadDirectory(t), 0);  // one page
    TIFFClose(t);
  }
}

TEST_F(FaxDir, EveryCodedLineIsAtLeast24Bytes) {
  TagCvtFax c(dir.path());
  ASSERT_TRUE(c.Open(dir / "short.fax"));
  uint8_t row[216] = {};
  row[0] = 0x0F;  // white 4, black 4, white 1720: few bits before the fill
  c.CodeRow(row);
  c.ClosePage();
  EXPECT_EQ(ReadBytes(dir / "short.fax").size(), 2048u + 2 + 24 + 9);
  EXPECT_EQ(c.LineCount(), 1);
}

TEST_F(FaxDir, PairsOutsideTheFontDrawBlank) {
  DrawMem d(dir.path());
  const std::string texts[] = {"\x81\x40", "\xB0\x7F", "\xFF\xFF", "\xFE\xFE", "\xB0"};
  for (const std::string& t : texts) {
    d.DrawLine(t, 0);
    for (int r = 0; r < 16; r++)
      EXPECT_EQ(Bytes(d.Row(r), d.Row(r) + 216), Bytes(216, 0)) << "text byte " << int(uint8_t(t[0]));
  }
  d.DrawLine("\xB0\xA1", 0);
  EXPECT_EQ(d.Row(5)[0], 0xFF);
  EXPECT_EQ(d.Row(5)[3], 0xFF);
  EXPECT_EQ(d.Row(5)[4], 0x00);
}

bool FakeIsBig5(const char* t) { return std::strstr(t, "\xA4\x40") != nullptr; }
std::string FakeToGb(std::string_view) { return "\xB0\xA1"; }

TEST_F(FaxDir, Big5TextIsConvertedAndDrawnWithTraditionalGlyphs) {
  FaxTextCodec codec{FakeIsBig5, FakeToGb};
  DrawMem d(dir.path(), codec);
  d.DrawLine("\xA4\x40", 0);
  EXPECT_EQ(d.Row(0)[0], 0xC0);  // 0x81 doubled: the traditional font's frame
  EXPECT_EQ(d.Row(0)[1], 0x03);
  d.DrawLine("\xB0\xA1", 0);     // GB text keeps the simplified font
  EXPECT_EQ(d.Row(0)[1], 0xFF);

  std::remove((dir / "hzk16f").c_str());
  DrawMem without(dir.path(), codec);
  ASSERT_EQ(without.status, 0);
  without.DrawLine("\xA4\x40", 0);
  EXPECT_EQ(without.Row(0)[1], 0xFF);
}

TEST_F(FaxDir, Utf16TextDrawsLikeItsGbText) {
  int status = 1;
  Bytes gb = ReadBytes(Render("A\xB0\xA1\n", "gb.fax", &status));
  ASSERT_EQ(status, 0);
  // U+554A is GB 0xB0A1.
  WriteBytes(dir / "u.txt", Bytes{0xFF, 0xFE, 'A', 0, 0x4A, 0x55, '\n', 0});
  TagTxtCvtFax c(dir.path(), dir / "u.txt", dir / "u.fax");
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.kind, 2);
  EXPECT_EQ(ReadBytes(dir / "u.fax"), gb);
  EXPECT_FALSE(std::ifstream(dir / "u.txt.tmp").good());
}

TEST_F(FaxDir, RefusedTextsAndMissingFiles) {
  struct Case {
    const char* name;
    std::string text;  // written to t.txt unless empty name of file below
    const char* remove;  // data file taken away first, or null
    const char* textFile;
    const char* faxFile;
    int status;
  };
  const Case cases[] = {
      {"plain", "hello\n", nullptr, "t.txt", "o.fax", 0},
      {"UTF-8 mark", "\xEF\xBB\xBFhello\n", nullptr, "t.txt", "o.fax", -3},
      {"byte 0x85", "abc\x85\x40\n", nullptr, "t.txt", "o.fax", -3},
      {"missing text", "x\n", nullptr, "none.txt", "o.fax", -3},
      {"fax file in a missing folder", "x\n", nullptr, "t.txt", "no/o.fax", -3},
      {"no code table", "x\n", "huffman.cod", "t.txt", "o.fax", -1},
      {"no asc16", "x\n", "asc16", "t.txt", "o.fax", -2},
      {"no hzk16", "x\n", "hzk16", "t.txt", "o.fax", -2},
      {"no hzk16f", "x\n", "hzk16f", "t.txt", "o.fax", 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SetUp();
    WriteText(dir / "t.txt", k.text);
    if (k.remove) std::remove((dir / k.remove).c_str());
    std::remove((dir / "o.fax").c_str());
    TagTxtCvtFax c(dir.path() + "/", dir / k.textFile, dir / k.faxFile);
    EXPECT_EQ(c.status, k.status);
    EXPECT_EQ(std::ifstream(dir / "o.fax").good(), k.status == 0);
  }
}

TEST_F(FaxDir, CodeTableShorterThanItsCountIsRefused) {
  Bytes table = t4::HuffmanCodFile();
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes truncated(table.begin(), table.end() - 1);
  Bytes fewRecords = table;
  fewRecords[0] = 80;  // too few for a whole line's make-up code
  Bytes badLength = table;
  badLength[2 + 5 * 38 + 2] = 17;  // a white code longer than its bits
  const Case cases[] = {{"truncated", truncated}, {"too few records", fewRecords},
                        {"code too long", badLength}, {"empty", Bytes{}}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    WriteBytes(dir / "huffman.cod", k.bytes);
    EXPECT_EQ(TagCvtFax(dir.path()).status, -1);
  }
  WriteBytes(dir / "huffman.cod", table);
  EXPECT_EQ(TagCvtFax(dir.path()).status, 0);
}

TEST(FaxResourcePath, WindowsDirectoryForms) {
  EXPECT_EQ(FaxResourcePath("", "asc16"), "asc16");
  EXPECT_EQ(FaxResourcePath("c:\\fax\\", "asc16"), "c:\\fax\\asc16");
  EXPECT_EQ(FaxResourcePath("c:\\fax", "asc16"), "c:\\fax\\asc16");
  EXPECT_EQ(FaxResourcePath("/tmp/fax/", "asc16"), "/tmp/fax/asc16");
}

}  // namespace
