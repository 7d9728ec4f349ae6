#include "lines/txtfax.h"

#include <cctype>
#include <cstring>

#include "platform/bytes.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

// The image data's first end-of-line (after four fill bits) and its end of
// page (six end-of-line codes), bits packed from the low bit up.
constexpr uint8_t kFirstEol[] = {0x00, 0x80};
constexpr uint8_t kEndOfPage[] = {0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80};
// Fonts and tables are small; anything larger is not one of them.
constexpr long kFontMemory = 1 << 20;

bool ReadWhole(const std::string& path, long limit, std::vector<uint8_t>* out) {
  FILE* f = plat::OpenFile(path, "rb");
  if (!f) return false;
  out->clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (static_cast<long>(out->size() + n) > limit) {
      std::fclose(f);
      return false;
    }
    out->insert(out->end(), chunk, chunk + n);
  }
  std::fclose(f);
  return true;
}

bool ReadCode(const uint8_t* lenField, const uint8_t* bits, FaxCode* c) {
  int len = plat::Le16(lenField);
  if (len < 1 || len > 16) return false;
  c->length = static_cast<uint8_t>(len);
  for (int i = 0; i < 16; i++) c->bits[i] = bits[i] ? 1 : 0;
  return true;
}

// Each pixel of a font row drawn twice side by side.
uint16_t Doubled(uint8_t b) {
  uint16_t w = 0;
  for (int i = 7; i >= 0; i--) w = static_cast<uint16_t>((w << 2) | (((b >> i) & 1) ? 3 : 0));
  return w;
}

void PutLeField(std::vector<uint8_t>* v, uint32_t value, int n) {
  for (int i = 0; i < n; i++) v->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutEntry(std::vector<uint8_t>* v, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  PutLeField(v, tag, 2);
  PutLeField(v, type, 2);
  PutLeField(v, count, 4);
  PutLeField(v, value, 4);
}

void PutResolutions(std::vector<uint8_t>* v) {
  PutLeField(v, 204, 4);
  PutLeField(v, 1, 4);
  PutLeField(v, 196, 4);
  PutLeField(v, 1, 4);
}

}  // namespace

std::string FaxResourcePath(const std::string& dir, const char* name) {
  if (dir.empty() || dir.back() == '\\' || dir.back() == '/') return dir + name;
  return dir + "\\" + name;
}

int FaxTextKind(const uint8_t* head, size_t n) {
  if (n >= 2 && head[0] == 0xFF && head[1] == 0xFE) return 2;
  if (n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) return 3;
  for (size_t i = 0; i < n && i < 80; i++)
    if (head[i] >= 0x80 && head[i] <= 0x9F) return 0;
  return 1;
}

// ------------------------------------------------------------------ coder

TagCvtFax::TagCvtFax(const std::string& dir) {
  std::vector<uint8_t> file;
  if (!ReadWhole(FaxResourcePath(dir, "huffman.cod"), kFontMemory, &file) || file.size() < 2) return;
  size_t count = plat::Le16(file.data());
  // The file is trusted no further than its size: every record the coder
  // reaches must be there, the end-of-line record too.
  if (count < static_cast<size_t>(kHuffmanMinRecords) ||
      file.size() < 2 + (count + 1) * kHuffmanRecordBytes)
    return;
  white_.resize(count);
  black_.resize(count);
  for (size_t i = 0; i < count; i++) {
    const uint8_t* r = file.data() + 2 + i * kHuffmanRecordBytes;
    if (!ReadCode(r + 2, r + 6, &white_[i]) || !ReadCode(r + 4, r + 22, &black_[i])) return;
  }
  const uint8_t* e = file.data() + 2 + count * kHuffmanRecordBytes;
  if (!ReadCode(e + 2, e + 6, &eol_)) return;
  status = 0;
}

TagCvtFax::~TagCvtFax() {
  if (fp_) std::fclose(fp_);
}

bool TagCvtFax::Open(const std::string& name) {
  if (status != 0) return false;
  std::string head = name.substr(0, 256);
  for (char& ch : head) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  tiff_ = head.find(".TIF") != std::string::npos;
  if (fp_) std::fclose(fp_);
  fp_ = plat::OpenFile(name, "w+b");
  if (!fp_) return false;
  std::vector<uint8_t> h;
  if (tiff_) {
    h = {'I', 'I'};
    PutLeField(&h, 42, 2);
    PutLeField(&h, 24, 4);
    PutResolutions(&h);
    h.resize(kTiffDataOffset, 0);
  } else {
    h.resize(kRawDataOffset, 0);
  }
  std::fwrite(h.data(), 1, h.size(), fp_);
  std::fwrite(kFirstEol, 1, sizeof kFirstEol, fp_);
  lines_ = 0;
  bits_ = 0;
  std::memset(buf_, 0, sizeof buf_);
  return true;
}

void TagCvtFax::PutBits(int count, bool one) {
  for (int i = 0; i < count; i++) {
    if (one) buf_[bits_ >> 3] = static_cast<uint8_t>(buf_[bits_ >> 3] | (1u << (bits_ & 7)));
    bits_++;
    rowBits_++;
  }
}

void TagCvtFax::PutCode(const FaxCode& c) {
  for (int i = 0; i < c.length; i++) PutBits(1, c.bits[i] != 0);
  // Checked after every code: a row of short runs fills the buffer long
  // before the row ends.
  FlushBits(false);
}

void TagCvtFax::FlushBits(bool all) {
  if (!fp_) return;
  if (all) {
    int bytes = (bits_ + 7) / 8;
    std::fwrite(buf_, 1, static_cast<size_t>(bytes), fp_);
    std::memset(buf_, 0, sizeof buf_);
    bits_ = 0;
    return;
  }
  if (bits_ < 1280) return;
  std::fwrite(buf_, 1, 160, fp_);
  std::memmove(buf_, buf_ + 160, sizeof buf_ - 160);
  std::memset(buf_ + sizeof buf_ - 160, 0, 160);
  bits_ -= 1280;
}

void TagCvtFax::PutRun(int run, bool black) {
  const std::vector<FaxCode>& t = black ? black_ : white_;
  if (run >= 64) {
    PutCode(t[static_cast<size_t>(63 + run / 64)]);
    run %= 64;
  }
  PutCode(t[static_cast<size_t>(run)]);
}

void TagCvtFax::CodeRow(const uint8_t* row) {
  if (!fp_) return;
  rowBits_ = 0;
  bool black = false;
  int run = 0;
  for (int x = 0; x < kFaxWidth; x++) {
    bool px = (row[x >> 3] >> (7 - (x & 7))) & 1;
    if (px == black) {
      run++;
      continue;
    }
    PutRun(run, black);
    black = px;
    run = 1;
  }
  PutRun(run, black);
  // Fill so that the end-of-line closes the row on a byte boundary and the
  // row is never shorter than the receiver's minimum scan time allows.
  int target = rowBits_ < 180 ? 180 : rowBits_;
  while (target % 8 != 4) target++;
  PutBits(target - rowBits_, false);
  PutCode(eol_);
  FlushBits(true);
  lines_++;
}

void TagCvtFax::ClosePage() {
  if (!fp_) return;
  FlushBits(true);
  std::fwrite(kEndOfPage, 1, sizeof kEndOfPage, fp_);
  std::fflush(fp_);
  long size = plat::FileSizeOf(fp_);
  std::vector<uint8_t> h;
  if (tiff_) {
    uint32_t n = static_cast<uint32_t>(lines_);
    PutLeField(&h, 16, 2);
    PutEntry(&h, 254, 4, 1, 2);
    PutEntry(&h, 256, 4, 1, kFaxWidth);
    PutEntry(&h, 257, 4, 1, n);
    PutEntry(&h, 258, 3, 1, 1);
    PutEntry(&h, 259, 3, 1, 3);
    PutEntry(&h, 262, 3, 1, 0);
    PutEntry(&h, 266, 3, 1, 2);
    PutEntry(&h, 273, 4, 1, kTiffDataOffset);
    PutEntry(&h, 277, 3, 1, 1);
    PutEntry(&h, 278, 4, 1, n);
    PutEntry(&h, 279, 4, 1, static_cast<uint32_t>(size - kTiffDataOffset));
    PutEntry(&h, 282, 5, 1, 8);
    PutEntry(&h, 283, 5, 1, 16);
    PutEntry(&h, 292, 4, 1, 4);
    PutEntry(&h, 296, 3, 1, 2);
    PutEntry(&h, 297, 3, 2, 1);  // page 1 (low half), of 0
    PutLeField(&h, 0, 4);
    PutResolutions(&h);
    std::fseek(fp_, 24, SEEK_SET);
  } else {
    h = {'B', 'I', 'T', ' ', ' ', 'F', 'A', 'X', 0x30, 0x01, 0, 0, 0, 0, 0, 0};
    PutLeField(&h, 0, 4);
    PutLeField(&h, static_cast<uint32_t>(size - kRawDataOffset), 4);
    PutLeField(&h, kRawDataOffset, 4);
    PutLeField(&h, 0, 4);
    std::fseek(fp_, 0, SEEK_SET);
  }
  std::fwrite(h.data(), 1, h.size(), fp_);
  std::fclose(fp_);
  fp_ = nullptr;
}

// --------------------------------------------------------------- renderer

DrawMem::DrawMem(const std::string& dir, FaxTextCodec codec) : codec_(codec) {
  if (!ReadWhole(FaxResourcePath(dir, "asc16"), kFontMemory, &asc_) ||
      !ReadWhole(FaxResourcePath(dir, "hzk16"), kFontMemory, &hz_)) {
    status = -1;
    return;
  }
  if (!ReadWhole(FaxResourcePath(dir, "hzk16f"), kFontMemory, &hzf_)) hzf_.clear();
}

void DrawMem::PutGlyph(const uint8_t* glyph, int rowBytes, int x) {
  int at = x / 8;
  for (int r = 0; r < kFaxBandRows; r++) {
    uint8_t* row = band_ + r * kFaxRowBytes;
    for (int b = 0; b < rowBytes; b++) {
      uint16_t w = Doubled(glyph ? glyph[r * rowBytes + b] : 0);
      int o = at + 2 * b;
      // Pixels past the line's width are cut.
      if (o >= 0 && o < kFaxRowBytes) row[o] = static_cast<uint8_t>(w >> 8);
      if (o + 1 >= 0 && o + 1 < kFaxRowBytes) row[o + 1] = static_cast<uint8_t>(w);
    }
  }
}

void DrawMem::DrawLine(const std::string& text, int x) {
  std::memset(band_, 0, sizeof band_);
  if (status != 0) return;
  std::string gb = text;
  const std::vector<uint8_t>* chinese = &hz_;
  if (codec_.isBig5 && codec_.big5ToGb && codec_.isBig5(text.c_str())) {
    gb = codec_.big5ToGb(text);
    if (!hzf_.empty()) chinese = &hzf_;
  }
  if (x < 0) x = 0;
  for (size_t i = 0; i < gb.size() && x < kFaxWidth; i++) {
    uint8_t c = static_cast<uint8_t>(gb[i]);
    if (c <= 0xA0) {
      size_t at = static_cast<size_t>(c) * 16;
      PutGlyph(at + 16 <= asc_.size() ? asc_.data() + at : nullptr, 1, x);
      x += 16;
      continue;
    }
    if (i + 1 >= gb.size()) break;
    uint8_t l = static_cast<uint8_t>(gb[++i]);
    // Only pairs inside the font's rows and columns have a glyph; GBK pairs
    // outside GB2312 draw blank.
    const uint8_t* glyph = nullptr;
    if (l >= 0xA1 && l <= 0xFE && c <= 0xFE) {
      size_t at = (static_cast<size_t>(c - 0xA1) * 94 + (l - 0xA1)) * 32;
      if (at + 32 <= chinese->size()) glyph = chinese->data() + at;
    }
    PutGlyph(glyph, 2, x);
    x += 32;
  }
}

// ------------------------------------------------------------- conversion

TagTxtCvtFax::TagTxtCvtFax(const std::string& dir, const std::string& textFile,
                           const std::string& faxFile, FaxTextCodec codec) {
  TagCvtFax coder(dir);
  if (coder.status != 0) {
    status = -1;
    return;
  }
  DrawMem draw(dir, codec);
  if (draw.status != 0) {
    status = -2;
    return;
  }
  FILE* head = plat::OpenFile(textFile, "rb");
  if (!head) {
    status = -3;
    return;
  }
  uint8_t first[80];
  size_t n = std::fread(first, 1, sizeof first, head);
  std::fclose(head);
  kind = FaxTextKind(first, n);
  if (kind == 0 || kind == 3) {
    status = -3;
    return;
  }
  std::string readFrom = textFile;
  std::string tmp;
  if (kind == 2) {
    // UTF-16LE text becomes GB text in "%s.tmp", drawn from there.
    std::vector<uint8_t> all;
    if (!ReadWhole(textFile, 64L << 20, &all)) {
      status = -3;
      return;
    }
    std::string gb;
    plat::ConvertCodePage(std::string_view(reinterpret_cast<const char*>(all.data()) + 2, all.size() - 2),
                          "UTF-16LE", "GBK", gb);
    tmp = textFile + ".tmp";
    FILE* t = plat::OpenFile(tmp, "wb");
    if (!t) {
      status = -3;
      return;
    }
    std::fwrite(gb.data(), 1, gb.size(), t);
    std::fclose(t);
    readFrom = tmp;
  }
  FILE* text = plat::OpenFile(readFrom, "rt");
  if (!text || !coder.Open(faxFile)) {
    if (text) std::fclose(text);
    if (!tmp.empty()) std::remove(plat::ResolvePath(tmp).c_str());
    status = -3;
    return;
  }
  static const uint8_t blank[kFaxRowBytes] = {};
  char line[216];
  while (std::fgets(line, sizeof line, text)) {
    std::string drawn(5, ' ');
    for (const char* p = line; *p && *p != '\r' && *p != '\n' && drawn.size() <= 216; p++) {
      if (*p == '\t')
        drawn += "    ";
      else
        drawn += *p;
    }
    draw.DrawLine(drawn, 40);
    for (int r = 0; r < kFaxBandRows; r++) coder.CodeRow(draw.Row(r));
    coder.CodeRow(blank);
  }
  coder.ClosePage();
  std::fclose(text);
  if (!tmp.empty()) std::remove(plat::ResolvePath(tmp).c_str());
  status = 0;
}
