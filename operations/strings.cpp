// The string operations: length, parts, comparison, search, trimming, case,
// single bytes, overwriting, repetition, splitting and walking a map. All
// work on bytes: a two-byte GB character is two bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "operations/argread.h"
#include "platform/text.h"
#include "platform/trim.h"

namespace {

// The string bytes of a value up to its first zero byte, as C string
// functions see them.
std::string_view CText(const TagVar& v) { return v.Text(); }

// The length of a string by its stored integer (0 when that is 0 or less).
int64_t StoredLen(const TagVar& v) { return v.IntValue() > 0 ? int64_t(v.IntValue()) - 1 : 0; }

// 1-based position of part in text at or after from, 0 when absent. memmem
// is linear in the text for long parts.
int Find(std::string_view text, size_t from, std::string_view part) {
  if (part.empty()) return static_cast<int>(from + 1);
  if (from > text.size()) return 0;
  const void* at = ::memmem(text.data() + from, text.size() - from, part.data(), part.size());
  return at ? static_cast<int>(static_cast<const char*>(at) - text.data() + 1) : 0;
}

class TagStrlen : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& v = Arg(0);
    int n = 4;
    if (v.IsString()) n = static_cast<int>(StoredLen(v));
    else if (v.IsMap()) n = v.Length();
    Arg(1).SetInt(n);
    return n;
  }
};

class TagSubstr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& s = Arg(0);
    int64_t start = Arg(1).IntValue();
    int64_t count = Arg(2).IntValue();
    int64_t len = StoredLen(s);
    // 64-bit sums: a huge count must not wrap past the check.
    if (start + count >= len + 1) count = len - start;
    TagVar& out = Arg(3);
    if (!s.IsString() || start < 0 || count < 1) {
      TagVar empty = TagVar::Str("");
      out.Assign(empty);
      StoreResult(empty);
      return -2;
    }
    TagVar part = TagVar::Str(std::string_view(s.Text() + start, static_cast<size_t>(count)));
    out.Assign(part);
    StoreResult(part);
    return 0;
  }
};

int ByteDiff(unsigned char a, unsigned char b, bool ignoreCase) {
  if (ignoreCase) {
    if (a >= 'a' && a <= 'z') a = static_cast<unsigned char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<unsigned char>(b - 32);
  }
  return int(a) - int(b);
}

// Compares as the C library does: up to the first difference or the end of
// both texts, at most n bytes when n >= 0.
int CompareBytes(const char* a, const char* b, int64_t n, bool ignoreCase) {
  for (int64_t i = 0; n < 0 || i < n; ++i) {
    int d = ByteDiff(static_cast<unsigned char>(a[i]), static_cast<unsigned char>(b[i]), ignoreCase);
    if (d != 0 || a[i] == '\0') return d;
  }
  return 0;
}

class TagStrcmp : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& a = Arg(0);
    const TagVar& b = Arg(1);
    int n = ArgInt(Arg(2));
    bool ignoreCase = ArgInt(Arg(3)) != 0;
    if (n <= 0) return CompareBytes(a.Text(), b.Text(), -1, ignoreCase);
    // The terminating zero counts: a string of n - 1 bytes qualifies.
    if (!a.IsString() || !b.IsString() || a.IntValue() < n || b.IntValue() < n) return -2;
    return CompareBytes(a.Text(), b.Text(), n, ignoreCase);
  }
};

class TagStrstr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int pos = Find(CText(Arg(0)), 0, CText(Arg(1)));
    Arg(2).SetInt(pos);
    return pos;
  }
};

class TagStrstrEx : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& s = Arg(0);
    int64_t start = ArgInt(Arg(1));
    // A negative start has no meaning; it finds nothing rather than reading
    // before the string.
    if (!s.IsString() || start < 0 || start >= StoredLen(s) + 1) return 0;
    std::string_view hay = CText(s);
    // Past a zero byte inside the string the search sees the bytes after it.
    size_t from = static_cast<size_t>(start);
    int pos;
    if (from <= hay.size()) {
      pos = Find(hay, from, CText(Arg(2)));
    } else {
      std::string_view rest = s.Text() + from;
      int p = Find(rest, 0, CText(Arg(2)));
      pos = p ? static_cast<int>(p + from) : 0;
    }
    Arg(3).SetInt(pos);
    return pos;
  }
};

class TagTrim : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar& s = Arg(0);
    if (s.IsConst()) return -1;
    if (!s.IsString()) return -2;
    std::string bytes(s.Bytes());
    int kept = plat::TrimBuffer(bytes.data(), static_cast<int>(bytes.size())) - 1;
    s.SetBytes(bytes.data(), static_cast<size_t>(kept > 0 ? kept : 0));
    return 0;
  }
};

// Case of ASCII letters; the byte after a GB lead byte is part of a
// character and keeps its value (0x81 0x61 is not 0x81 0x41).
class TagCase : public TagArgOper {
 public:
  TagCase(std::vector<TagVar*> args, TagTelBasic* root, bool upper) : TagArgOper(std::move(args), root), upper_(upper) {}
  int Execute() override {
    TagVar& s = Arg(0);
    if (s.IsConst()) return -1;
    if (!s.IsString()) return -2;
    std::string bytes(s.Bytes());
    for (size_t i = 0; i < bytes.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (plat::IsGbLead(c)) {
        ++i;
        continue;
      }
      if (upper_ && c >= 'a' && c <= 'z') bytes[i] = static_cast<char>(c - 32);
      if (!upper_ && c >= 'A' && c <= 'Z') bytes[i] = static_cast<char>(c + 32);
    }
    s.SetBytes(bytes.data(), bytes.size());
    return 0;
  }

 private:
  bool upper_;
};

TagOper* MakeUpper(const TagOpArgs& a) { return new TagCase(a.args, a.root, true); }
TagOper* MakeLower(const TagOpArgs& a) { return new TagCase(a.args, a.root, false); }

class TagAsc : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& s = Arg(0);
    int64_t at = ArgInt(Arg(1));
    if (!s.IsString() || at < 0 || at >= StoredLen(s) + 1) return -1;
    int byte = static_cast<unsigned char>(s.Text()[at]);
    Arg(2).SetInt(byte);
    return byte;
  }
};

class TagChr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int code = ArgInt(Arg(0));
    char c = static_cast<char>(code & 0xff);
    TagVar one = TagVar::Str(c ? std::string_view(&c, 1) : std::string_view());
    Arg(1).Assign(one);
    StoreResult(one);
    return code;
  }
};

class TagReplstr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar& s = Arg(0);
    if (s.IsConst()) return -1;
    const TagVar& repl = Arg(3);
    int64_t pos = Arg(1).IntValue();
    int64_t len = Arg(2).IntValue();
    if (!s.IsString() || !repl.IsString() || len <= 0 || pos < 0) return -2;
    // 64-bit: position + length must not wrap past the end check.
    if (pos + len > StoredLen(s) || repl.IntValue() < len) return -2;
    std::string bytes(s.Bytes());
    // The replacement's terminating zero may be among the bytes copied.
    std::memcpy(bytes.data() + pos, repl.Text(), static_cast<size_t>(len));
    s.SetBytes(bytes.data(), bytes.size());
    return 0;
  }
};

class TagRepeatstr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar& out = Arg(0);
    if (out.IsConst()) return -1;
    const TagVar& unit = Arg(1);
    int64_t times = Arg(2).IntValue();
    if (times <= 0) return -2;
    std::string piece;
    if (unit.IsString()) {
      if (unit.IntValue() <= 0) return -2;
      piece.assign(unit.Bytes());
    } else {
      piece.assign(1, static_cast<char>(unit.IntValue() & 0xff));
    }
    // A 64-bit product: a result above the value size limit is refused and
    // out keeps its value.
    int64_t total = static_cast<int64_t>(piece.size()) * times;
    if (total > TagVar::TextLimit()) return -2;
    std::string bytes;
    bytes.reserve(static_cast<size_t>(total));
    for (int64_t i = 0; i < times; ++i) bytes.append(piece);
    out.SetBytes(bytes.data(), bytes.size());
    return 0;
  }
};

class TagAnlyStr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& s = Arg(0);
    const TagVar& sep = Arg(1);
    if (!s.IsString() || !sep.IsString()) return 0;
    std::string_view all = CText(s);
    std::string_view cut = CText(sep);
    TagVar& map = Arg(2);
    int n = 0;
    auto store = [&](std::string_view piece) { map.SetItem(TagVar::Int(n++), TagVar::Str(piece)); };
    size_t begin = 0;
    if (cut.empty()) {
      store(all);
      return n;
    }
    if (cut == " ") {
      // A run of blanks is one separator.
      size_t i = 0;
      while (i < all.size()) {
        if (all[i] == ' ' || all[i] == '\t') {
          store(all.substr(begin, i - begin));
          while (i < all.size() && (all[i] == ' ' || all[i] == '\t')) ++i;
          begin = i;
        } else {
          ++i;
        }
      }
    } else {
      size_t at;
      while ((at = all.find(cut, begin)) != std::string_view::npos) {
        store(all.substr(begin, at - begin));
        begin = at + cut.size();
      }
    }
    store(all.substr(begin));
    return n;
  }
};

class TagGetMapItem : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Arg(0).EntryAt(ArgInt(Arg(1)), Arg(2), Arg(3)); }
};

}  // namespace

const TagOpTable& StringOperations() {
  static const TagOpTable entries = {
      {KeywordId::Strlen, MakeLineOper<TagStrlen>},
      {KeywordId::Len, MakeLineOper<TagStrlen>},
      {KeywordId::Substr, MakeLineOper<TagSubstr>},
      {KeywordId::Strcmp, MakeLineOper<TagStrcmp>},
      {KeywordId::Strstr, MakeLineOper<TagStrstr>},
      {KeywordId::StrstrEx, MakeLineOper<TagStrstrEx>},
      {KeywordId::Trim, MakeLineOper<TagTrim>},
      {KeywordId::Upper, MakeUpper},
      {KeywordId::Lower, MakeLower},
      {KeywordId::Asc, MakeLineOper<TagAsc>},
      {KeywordId::Chr, MakeLineOper<TagChr>},
      {KeywordId::Replstr, MakeLineOper<TagReplstr>},
      {KeywordId::Repeatstr, MakeLineOper<TagRepeatstr>},
      {KeywordId::AnlyStr, MakeLineOper<TagAnlyStr>},
      {KeywordId::GetMapItem, MakeLineOper<TagGetMapItem>},
  };
  return entries;
}
