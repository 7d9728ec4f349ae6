// Makes the pinyin voice library KxVocLib.dat from public data: the Mandarin
// readings of Unihan (Debian's unicode-data) for every GB2312 character, and
// one recorded segment per syllable name, made by scripts/voices.
//   mkvoclib list Unihan_Readings.txt         names to record: "NAME VOICE TEXT"
//   mkvoclib pack Unihan_Readings.txt DIR OUT  DIR/NAME.raw (8 kHz A-law) into OUT
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lines/pinyin.h"
#include "platform/text.h"

namespace {

// The first code point of UTF-8 text.
uint32_t FirstCodePoint(const std::string& s) {
  if (s.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  if (p[0] < 0x80) return p[0];
  int n = p[0] >= 0xF0 ? 3 : p[0] >= 0xE0 ? 2 : 1;
  uint32_t cp = p[0] & (0x3F >> n);
  for (int i = 1; i <= n && i < static_cast<int>(s.size()); ++i) cp = (cp << 6) | (p[i] & 0x3F);
  return cp;
}

// "zhòng" -> "ZHONG4": tone marks become the tone number, u with diaeresis
// becomes V, no mark is the neutral tone 5.
std::string ToNumbered(const std::string& marked) {
  static const std::map<std::string, std::pair<char, int>> kMarks = {
      {"ā", {'a', 1}}, {"á", {'a', 2}}, {"ǎ", {'a', 3}}, {"à", {'a', 4}}, {"ē", {'e', 1}}, {"é", {'e', 2}},
      {"ě", {'e', 3}}, {"è", {'e', 4}}, {"ī", {'i', 1}}, {"í", {'i', 2}}, {"ǐ", {'i', 3}}, {"ì", {'i', 4}},
      {"ō", {'o', 1}}, {"ó", {'o', 2}}, {"ǒ", {'o', 3}}, {"ò", {'o', 4}}, {"ū", {'u', 1}}, {"ú", {'u', 2}},
      {"ǔ", {'u', 3}}, {"ù", {'u', 4}}, {"ǖ", {'v', 1}}, {"ǘ", {'v', 2}}, {"ǚ", {'v', 3}}, {"ǜ", {'v', 4}},
      {"ü", {'v', 5}}, {"ń", {'n', 2}}, {"ň", {'n', 3}}, {"ǹ", {'n', 4}}, {"ḿ", {'m', 2}}};
  std::string out;
  int tone = 5;
  for (size_t i = 0; i < marked.size();) {
    const unsigned char c = static_cast<unsigned char>(marked[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(std::toupper(c)));
      ++i;
      continue;
    }
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    auto it = kMarks.find(marked.substr(i, len));
    if (it == kMarks.end()) return {};
    out.push_back(static_cast<char>(std::toupper(it->second.first)));
    if (it->second.second != 5) tone = it->second.second;
    i += len;
  }
  if (out.empty() || out.size() > 6) return {};
  return out + static_cast<char>('0' + tone);
}

// Code point -> first Mandarin reading, numbered.
std::map<uint32_t, std::string> ReadUnihan(const char* path) {
  std::map<uint32_t, std::string> readings;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("U+", 0) != 0) continue;
    std::istringstream fields(line);
    std::string code, key, value;
    std::getline(fields, code, '\t');
    std::getline(fields, key, '\t');
    std::getline(fields, value);
    if (key != "kMandarin") continue;
    std::string first = value.substr(0, value.find(' '));
    std::string name = ToNumbered(first);
    if (!name.empty()) readings[static_cast<uint32_t>(std::stoul(code.substr(2), nullptr, 16))] = name;
  }
  return readings;
}

// The character table: rows 0xB0-0xF7 of GB2312, 94 characters each.
std::vector<uint8_t> MakeTable(const std::map<uint32_t, std::string>& readings, std::set<std::string>& names) {
  std::vector<uint8_t> table(static_cast<size_t>(0xF7 - kVocTableFirstRow + 1) * kVocRowChars * kVocTableEntryBytes,
                             ' ');
  for (int h = kVocTableFirstRow; h <= 0xF7; ++h)
    for (int l = 0xA1; l <= 0xFE; ++l) {
      const char gb[2] = {static_cast<char>(h), static_cast<char>(l)};
      std::string utf8;
      if (!plat::ConvertCodePage(std::string_view(gb, 2), "GB2312", "UTF-8", utf8)) continue;
      auto it = readings.find(FirstCodePoint(utf8));
      if (it == readings.end() || utf8 == "?") continue;
      const size_t at = (static_cast<size_t>(h - kVocTableFirstRow) * kVocRowChars + (l - 0xA1)) * kVocTableEntryBytes;
      std::memcpy(&table[at], it->second.data(), it->second.size());
      names.insert(it->second);
    }
  return table;
}

// Every name the engine can produce besides the table's.
std::set<std::string> FixedNames() {
  std::set<std::string> names = {"DIAN3", "ZHENG4", "JIA1", "FU4", "JIAN3", "mute"};
  for (char c = '0'; c <= '9'; ++c) names.insert(std::string(1, c));
  for (char c = 'A'; c <= 'Z'; ++c) names.insert(std::string(1, c));
  for (const DuoyinZi& d : BuiltinPolyphones()) names.insert(d.pinyin);
  return names;
}

// How scripts/voices records a name: voice and text.
std::string Recording(const std::string& name) {
  static const char* const kDigits[] = {"ling2", "yi1", "er4", "san1", "si4", "wu3", "liu4", "qi1", "ba1", "jiu3"};
  if (name == "mute") return "silence -";
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '9') return std::string("cmn-latn-pinyin ") + kDigits[name[0] - '0'];
  if (name.size() == 1) return "en-us " + name;
  std::string text;
  for (char c : name) text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return "cmn-latn-pinyin " + text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "list") != 0 && std::strcmp(argv[1], "pack") != 0) ||
      (std::strcmp(argv[1], "pack") == 0 && argc < 5)) {
    std::fprintf(stderr, "usage: mkvoclib list UNIHAN | mkvoclib pack UNIHAN SEGDIR OUT\n");
    return 2;
  }
  const auto readings = ReadUnihan(argv[2]);
  if (readings.empty()) {
    std::fprintf(stderr, "mkvoclib: no Mandarin readings in %s\n", argv[2]);
    return 1;
  }
  std::set<std::string> names = FixedNames();
  const std::vector<uint8_t> table = MakeTable(readings, names);
  if (std::strcmp(argv[1], "list") == 0) {
    for (const std::string& n : names) std::printf("%s %s\n", n.c_str(), Recording(n).c_str());
    return 0;
  }
  std::vector<TagVocSegment> segments;
  int missing = 0;
  for (const std::string& n : names) {
    std::ifstream in(std::string(argv[3]) + "/" + n + ".raw", std::ios::binary);
    if (!in) {
      ++missing;
      continue;
    }
    segments.push_back({n, {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}});
  }
  if (!WriteVocLib(argv[4], segments, table)) {
    std::fprintf(stderr, "mkvoclib: cannot write %s\n", argv[4]);
    return 1;
  }
  std::printf("mkvoclib: %zu segments, %d missing, %zu table bytes\n", segments.size(), missing, table.size());
  return 0;
}
