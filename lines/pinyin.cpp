#include "lines/pinyin.h"

#include <cstdio>
#include <cstring>

#include "lines/vocfile.h"
#include "platform/bytes.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

bool EndsWithWav(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  return tail == ".wav" || tail == ".WAV";
}

}  // namespace

const std::vector<DuoyinZi>& BuiltinPolyphones() {
  static const std::vector<DuoyinZi> rows = {
      {plat::Utf8ToGbk("重庆"), 1, "CHONG2"}, {plat::Utf8ToGbk("重新"), 1, "CHONG2"},
      {plat::Utf8ToGbk("银行"), 0, "HANG2"},  {plat::Utf8ToGbk("阿胶"), 1, "E1"},
      {plat::Utf8ToGbk("你好"), 1, "NI2"},    {plat::Utf8ToGbk("大厦"), 0, "SHA4"},
      {plat::Utf8ToGbk("商厦"), 0, "SHA4"},   {plat::Utf8ToGbk("广厦"), 0, "SHA4"},
      {plat::Utf8ToGbk("空调"), 0, "TIAO2"},  {plat::Utf8ToGbk("家长"), 0, "ZHANG3"},
  };
  return rows;
}

CGetHypy& GlobalHypy() {
  static CGetHypy engine;
  return engine;
}

int CGetHypy::LoadVocLib(const std::string& dir) {
  if (State() == 0) return 0;
  std::lock_guard<std::mutex> l(lock_);
  if (State() == 0) return 0;
  table_.clear();
  index_.clear();
  duoyin_.clear();
  dir_ = dir;
  if (dir_.empty() || (dir_.back() != '\\' && dir_.back() != '/')) dir_ += '\\';
  libPath_ = dir_ + kVocLibName;
  FILE* f = plat::OpenFile(libPath_, "rb");
  if (!f) {
    state_.store(-1);
    return -1;
  }
  auto fail = [&] {
    std::fclose(f);
    index_.clear();
    table_.clear();
    state_.store(-1);
    return -1;
  };
  const int64_t size = plat::FileSizeOf(f);
  uint8_t head[kVocHeaderBytes];
  if (size < kVocHeaderBytes || std::fread(head, 1, sizeof head, f) != sizeof head) return fail();
  const int64_t count = static_cast<int32_t>(plat::Le32(head));
  const int64_t base = static_cast<int32_t>(plat::Le32(head + 4));
  const int64_t tableOffset = static_cast<int32_t>(plat::Le32(head + 8));
  // The header must describe this file: an index that fits, a data base past
  // it and a table inside the file.
  if (count < 0 || kVocHeaderBytes + count * kVocIndexEntryBytes > size) return fail();
  if (base < kVocHeaderBytes + count * kVocIndexEntryBytes || base > size) return fail();
  if (tableOffset < 0 || base + tableOffset > size) return fail();
  dataBase_ = static_cast<int32_t>(base);
  std::vector<uint8_t> entries(static_cast<size_t>(count) * kVocIndexEntryBytes);
  if (!entries.empty() && std::fread(entries.data(), 1, entries.size(), f) != entries.size()) return fail();
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* e = &entries[static_cast<size_t>(i) * kVocIndexEntryBytes];
    char name[9] = {};
    for (int k = 0; k < 8; ++k) name[k] = static_cast<char>(static_cast<uint8_t>(e[k] + kVocNameOffset));
    TagWord w;
    w.offset = static_cast<int32_t>(plat::Le32(e + 8));
    w.length = static_cast<int32_t>(plat::Le32(e + 12));
    // A segment outside the file has nothing to give.
    if (w.offset < 0 || w.length < 0 || base + w.offset + w.length > size) continue;
    index_[std::string(name, strnlen(name, 8))] = w;
  }
  if (std::fseek(f, static_cast<long>(base + tableOffset), SEEK_SET) != 0) return fail();
  table_.reserve(static_cast<size_t>(size - base - tableOffset));
  uint8_t buf[1024];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) table_.insert(table_.end(), buf, buf + n);
  std::fclose(f);
  duoyin_ = BuiltinPolyphones();
  loads_.fetch_add(1);
  state_.store(0, std::memory_order_release);
  return 0;
}

void CGetHypy::Unload() {
  std::lock_guard<std::mutex> l(lock_);
  state_.store(-1);
  index_.clear();
  table_.clear();
  duoyin_.clear();
  loads_.store(0);
}

bool CGetHypy::Lookup(const std::string& name, TagWord& out) const {
  std::lock_guard<std::mutex> l(lock_);
  auto it = index_.find(name);
  if (it == index_.end()) return false;
  out = it->second;
  return true;
}

std::string CGetHypy::TableName(uint8_t h, uint8_t l) const {
  // Every lookup stays inside what was loaded: characters past the table
  // (or trail bytes outside a row) have no name.
  if (h < kVocTableFirstRow || l < 0xA1 || l > 0xFE) return {};
  const size_t at = (static_cast<size_t>(h - kVocTableFirstRow) * kVocRowChars + (l - 0xA1)) * kVocTableEntryBytes;
  if (at + kVocTableEntryBytes > table_.size()) return {};
  const char* e = reinterpret_cast<const char*>(&table_[at]);
  std::string name(e, strnlen(e, 7));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\n' || name.back() == '\r'))
    name.pop_back();
  return name;
}

int CGetHypy::TextToSyllables(std::string_view text, std::vector<std::string>& list) const {
  list.clear();
  if (State() != 0) return 0;
  const std::string_view t = text.substr(0, std::min(text.size(), kPinyinMaxText));
  const size_t n = t.size();
  auto at = [&](size_t i) -> uint8_t { return i < n ? static_cast<uint8_t>(t[i]) : 0; };
  auto mute = [&](int times) {
    for (int k = 0; k < times; ++k) list.emplace_back("mute");
  };
  auto single = [&](size_t i) {
    const uint8_t c = at(i);
    const uint8_t before = i > 0 ? at(i - 1) : 0;
    const uint8_t after = at(i + 1);
    switch (c) {
      case '!':
      case '?':
        mute(2);
        return;
      case ',':
      case ':':
      case ';':
        mute(1);
        return;
      case '.':
        if (IsDigit(before) && IsDigit(after)) {
          list.emplace_back("DIAN3");
        } else if (after == '.') {
          // A run of dots repeats the last name; with none yet, nothing.
          if (!list.empty()) list.push_back(std::string(list.back()));
        } else {
          mute(1);
        }
        return;
      case '+':
        list.emplace_back(!IsDigit(before) && IsDigit(after) ? "ZHENG4" : "JIA1");
        return;
      case '-':
        list.emplace_back(!IsDigit(before) && IsDigit(after) ? "FU4" : "JIAN3");
        return;
      default:
        break;
    }
    if (c >= 'a' && c <= 'z')
      list.emplace_back(1, static_cast<char>(c - 'a' + 'A'));
    else if (IsDigit(c) || (c >= 'A' && c <= 'Z'))
      list.emplace_back(1, static_cast<char>(c));
  };
  auto isPair = [](uint8_t a, uint8_t b, uint16_t code) { return ((a << 8) | b) == code; };
  for (size_t i = 0; i < n;) {
    const uint8_t h = at(i);
    if (h <= 0xA0) {
      single(i);
      ++i;
      continue;
    }
    const uint8_t l = at(i + 1);
    if (i + 1 >= n || l <= 0xA0) {
      // A lead without its second byte: the next byte stands on its own.
      ++i;
      continue;
    }
    const uint16_t code = static_cast<uint16_t>((h << 8) | l);
    if (code >= 0xA2C5 && code <= 0xA2CD) {
      list.emplace_back(1, static_cast<char>('1' + (code - 0xA2C5)));
    } else if (code >= 0xA3B0 && code <= 0xA3B9) {
      list.emplace_back(1, static_cast<char>('0' + (code - 0xA3B0)));
    } else if (code >= 0xA3C1 && code <= 0xA3DA) {
      list.emplace_back(1, static_cast<char>('A' + (code - 0xA3C1)));
    } else if (code >= 0xA3E1 && code <= 0xA3FA) {
      list.emplace_back(1, static_cast<char>('A' + (code - 0xA3E1)));
    } else if (isPair(h, l, 0xA3AC) || isPair(h, l, 0xA3BA) || isPair(h, l, 0xA3BB)) {
      mute(1);
    } else if (isPair(h, l, 0xA1A3) || isPair(h, l, 0xA3BF) || isPair(h, l, 0xA3A1) || isPair(h, l, 0xA3AE)) {
      mute(2);
    } else if (h < kVocTableFirstRow) {
      mute(1);
    } else {
      const std::string_view self = t.substr(i, 2);
      const DuoyinZi* match = nullptr;
      for (const DuoyinZi& d : duoyin_) {
        if (d.word.size() != 4) continue;
        std::string_view w(d.word);
        if (d.first == 1 ? (i + 4 <= n && w.substr(0, 2) == self && w.substr(2, 2) == t.substr(i + 2, 2))
                         : (i >= 2 && w.substr(0, 2) == t.substr(i - 2, 2) && w.substr(2, 2) == self)) {
          match = &d;
          break;
        }
      }
      if (match) {
        list.push_back(match->pinyin);
      } else {
        std::string name = TableName(h, l);
        if (!name.empty()) list.push_back(std::move(name));
      }
    }
    i += 2;
  }
  return static_cast<int>(list.size());
}

int CGetHypy::TextToWave(std::string_view text, const std::string& path) {
  const bool wave = EndsWithWav(path);
  std::vector<std::string> names;
  if (TextToSyllables(text, names) <= 0) return -1;
  FILE* out = plat::OpenFile(path, "wb");
  if (!out) {
    plat::WriteTerminal(stdout, "Create '" + path + "' failed!\n");
    return -1;
  }
  if (wave) WriteWaveHeader(out, 18, 6, 0);
  FILE* lib = plat::OpenFile(libPath_, "rb");
  if (!lib) {
    plat::WriteTerminal(stdout, "Open '" + libPath_ + "' Error.\n");
    std::fclose(out);
    return -2;
  }
  std::vector<uint8_t> buf(kVocMaxSegmentRead);
  uint32_t total = 0;
  for (const std::string& name : names) {
    TagWord w;
    if (!Lookup(name, w)) continue;
    const size_t want = static_cast<size_t>(std::min(w.length, kVocMaxSegmentRead));
    if (std::fseek(lib, static_cast<long>(dataBase_) + w.offset, SEEK_SET) != 0) continue;
    const size_t got = std::fread(buf.data(), 1, want, lib);
    total += static_cast<uint32_t>(std::fwrite(buf.data(), 1, got, out));
  }
  std::fclose(lib);
  if (wave) WriteWaveHeader(out, 18, 6, total);
  std::fclose(out);
  return static_cast<int>(names.size());
}

bool WriteVocLib(const std::string& path, const std::vector<TagVocSegment>& segments,
                 const std::vector<uint8_t>& table) {
  const uint32_t base = kVocHeaderBytes + static_cast<uint32_t>(segments.size()) * kVocIndexEntryBytes;
  std::vector<uint8_t> head(base, 0);
  plat::PutLe32(&head[0], static_cast<uint32_t>(segments.size()));
  plat::PutLe32(&head[4], base);
  uint32_t offset = 0;
  for (size_t i = 0; i < segments.size(); ++i) {
    const TagVocSegment& s = segments[i];
    if (s.name.size() > 8) return false;
    uint8_t* e = &head[kVocHeaderBytes + i * kVocIndexEntryBytes];
    // Unused name bytes are NUL once the offset is added back.
    for (size_t k = 0; k < 8; ++k) {
      const uint8_t c = k < s.name.size() ? static_cast<uint8_t>(s.name[k]) : 0;
      e[k] = static_cast<uint8_t>(c - kVocNameOffset);
    }
    plat::PutLe32(e + 8, offset);
    plat::PutLe32(e + 12, static_cast<uint32_t>(s.audio.size()));
    offset += static_cast<uint32_t>(s.audio.size());
  }
  plat::PutLe32(&head[8], offset);
  FILE* f = plat::OpenFile(path, "wb");
  if (!f) return false;
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
  for (const TagVocSegment& s : segments)
    ok = ok && std::fwrite(s.audio.data(), 1, s.audio.size(), f) == s.audio.size();
  ok = ok && std::fwrite(table.data(), 1, table.size(), f) == table.size();
  return std::fclose(f) == 0 && ok;
}
