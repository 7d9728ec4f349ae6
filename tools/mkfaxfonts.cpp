// Makes the fax renderer's fonts from GNU Unifont's glyphs:
//   asc16   16 bytes per byte code (printable ASCII drawn, the rest blank)
//   hzk16   32 bytes per GB2312 position, rows 0xA1-0xFE by columns 0xA1-0xFE
//   hzk16f  the same positions with the traditional form of each character,
//           when a Unihan variants file is given
// Usage: mkfaxfonts UNIFONT_HEX OUTDIR [UNIHAN_VARIANTS_TXT]
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::map<unsigned, std::vector<uint8_t>> ReadHex(const char* path) {
  std::map<unsigned, std::vector<uint8_t>> glyphs;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string hex = line.substr(colon + 1);
    while (!hex.empty() && (hex.back() == '\r' || hex.back() == ' ')) hex.pop_back();
    if (hex.size() != 32 && hex.size() != 64) continue;
    std::vector<uint8_t> g;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      g.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    glyphs[static_cast<unsigned>(std::strtoul(line.substr(0, colon).c_str(), nullptr, 16))] = g;
  }
  return glyphs;
}

// kTraditionalVariant of each simplified character (the first one listed).
std::map<unsigned, unsigned> ReadTraditional(const char* path) {
  std::map<unsigned, unsigned> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("U+", 0) != 0) continue;
    std::istringstream s(line);
    std::string from, field, to;
    if (!(s >> from >> field >> to) || field != "kTraditionalVariant" || to.rfind("U+", 0) != 0) continue;
    unsigned f = static_cast<unsigned>(std::strtoul(from.c_str() + 2, nullptr, 16));
    if (!out.count(f)) out[f] = static_cast<unsigned>(std::strtoul(to.c_str() + 2, nullptr, 16));
  }
  return out;
}

// The code point of a GB2312 pair, 0 when it has none.
unsigned GbToUnicode(iconv_t cd, uint8_t h, uint8_t l) {
  char in[2] = {static_cast<char>(h), static_cast<char>(l)};
  uint8_t out[4] = {};
  char* ip = in;
  char* op = reinterpret_cast<char*>(out);
  size_t il = 2, ol = 4;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || ol != 0) return 0;
  return out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<unsigned>(out[3]) << 24);
}

// 16 rows of two bytes: a half-width glyph stands in the left half.
void PutWide(const std::vector<uint8_t>* g, std::vector<uint8_t>* out) {
  for (int r = 0; r < 16; r++) {
    if (!g) {
      out->push_back(0);
      out->push_back(0);
    } else if (g->size() == 32) {
      out->push_back((*g)[2 * r]);
      out->push_back((*g)[2 * r + 1]);
    } else {
      out->push_back((*g)[r]);
      out->push_back(0);
    }
  }
}

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    std::perror(path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: mkfaxfonts UNIFONT_HEX OUTDIR [UNIHAN_VARIANTS_TXT]\n");
    return 2;
  }
  auto glyphs = ReadHex(argv[1]);
  if (glyphs.empty()) {
    std::fprintf(stderr, "mkfaxfonts: no glyphs in %s\n", argv[1]);
    return 1;
  }
  std::string dir = argv[2];
  auto find = [&glyphs](unsigned cp) -> const std::vector<uint8_t>* {
    auto it = glyphs.find(cp);
    return it == glyphs.end() ? nullptr : &it->second;
  };

  std::vector<uint8_t> asc;
  for (unsigned c = 0; c < 256; c++) {
    const std::vector<uint8_t>* g = c >= 0x20 && c < 0x7F ? find(c) : nullptr;
    for (int r = 0; r < 16; r++) asc.push_back(g ? (*g)[g->size() == 32 ? 2 * r : r] : 0);
  }

  iconv_t cd = iconv_open("UTF-32LE", "GB2312");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::perror("iconv GB2312");
    return 1;
  }
  std::map<unsigned, unsigned> trad;
  if (argc == 4) trad = ReadTraditional(argv[3]);
  std::vector<uint8_t> hz, hzf;
  for (unsigned h = 0xA1; h <= 0xFE; h++) {
    for (unsigned l = 0xA1; l <= 0xFE; l++) {
      unsigned cp = GbToUnicode(cd, static_cast<uint8_t>(h), static_cast<uint8_t>(l));
      const std::vector<uint8_t>* g = cp ? find(cp) : nullptr;
      PutWide(g, &hz);
      auto t = trad.find(cp);
      const std::vector<uint8_t>* tg = t != trad.end() ? find(t->second) : nullptr;
      PutWide(tg ? tg : g, &hzf);
    }
  }
  iconv_close(cd);
  bool ok = Write(dir + "/asc16", asc) && Write(dir + "/hzk16", hz);
  if (ok && argc == 4) ok = Write(dir + "/hzk16f", hzf);
  return ok ? 0 : 1;
}
