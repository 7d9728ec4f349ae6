#pragma once
// Fax pages for tests: writes a page of 1728-pixel rows as a TIFF a fax
// machine sends, and reads every page of a TIFF back as rows of bits.
#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using FaxRows = std::vector<std::vector<uint8_t>>;  // 216 bytes each, 1 black

// A page with a pattern that shows lost or shifted rows: a diagonal band,
// and a box drawn with the row number's bits.
inline FaxRows PatternPage(int rows) {
  FaxRows page(static_cast<size_t>(rows), std::vector<uint8_t>(216, 0));
  for (int r = 0; r < rows; r++) {
    auto& row = page[static_cast<size_t>(r)];
    int x = (r * 7) % 1700;
    for (int i = 0; i < 24; i++) row[static_cast<size_t>((x + i) / 8)] |= static_cast<uint8_t>(0x80 >> ((x + i) % 8));
    row[200] = static_cast<uint8_t>(r);
    row[10] = 0xFF;
  }
  return page;
}

inline bool WriteFaxTiff(const std::string& path, const FaxRows& page) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1728);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(page.size()));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(page.size()));
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0f);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0f);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
  TIFFSetField(t, TIFFTAG_PAGENUMBER, 0, 1);
  for (size_t r = 0; r < page.size(); r++) {
    std::vector<uint8_t> row = page[r];
    if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(r), 0) != 1) {
      TIFFClose(t);
      return false;
    }
  }
  TIFFClose(t);
  return true;
}

// Every page of the file; empty when it cannot be read.
inline std::vector<FaxRows> ReadFaxTiff(const std::string& path, uint32_t* width = nullptr) {
  std::vector<FaxRows> pages;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return pages;
  do {
    uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    if (width) *width = w;
    FaxRows page;
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(t)));
    for (uint32_t r = 0; r < h; r++) {
      if (TIFFReadScanline(t, row.data(), r, 0) != 1) break;
      page.push_back(row);
    }
    pages.push_back(page);
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return pages;
}

}  // namespace testsupport
