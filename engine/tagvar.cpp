#include "engine/tagvar.h"

#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "engine/tagmap.h"
#include "core/log.h"
#include "platform/text.h"

// The interpreter copies values all the time: keep them from growing.
static_assert(sizeof(TagVar) <= 72, "TagVar grew");

namespace {

std::atomic<int32_t> g_textLimit{TagVar::kMaxTextLen};
std::atomic<TagVar::FunctionNameFn> g_fnName{nullptr};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A string that would not fit the int length field, or a failed allocation:
// nothing is written, the operator learns it from the log.
void LogTooLong(long long n) {
  LogAlwaysF("string of %lld bytes refused (limit %d), value left unchanged", n, TagVar::TextLimit());
}

// The display text of a string value stops at its first NUL.
std::string_view CText(const TagVar& v) { return std::string_view(v.Text()); }

int32_t Wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

}  // namespace

// ---- limits, hooks, number texts ----

void TagVar::SetTextLimitForTest(int32_t limit) {
  g_textLimit.store(limit > 0 && limit <= kMaxTextLen ? limit : kMaxTextLen, std::memory_order_relaxed);
}
int32_t TagVar::TextLimit() { return g_textLimit.load(std::memory_order_relaxed); }
void TagVar::SetFunctionNameHook(FunctionNameFn fn) { g_fnName.store(fn); }

void TagVar::AppendInt(std::string& out, int32_t v) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void TagVar::AppendDouble(std::string& out, double v, bool trim) {
  // Fixed notation of the largest double is 309 digits plus the decimals.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
  char* end = r.ptr;
  if (trim && std::memchr(buf, '.', end - buf)) {
    while (end > buf && end[-1] == '0') --end;
  }
  out.append(buf, end);
}

int32_t TagVar::ParseInt(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > int64_t(INT32_MAX) + 1) {  // saturate, keep consuming nothing more
      v = int64_t(INT32_MAX) + 1;
      break;
    }
  }
  if (neg) return v > INT32_MAX ? INT32_MIN : static_cast<int32_t>(-v);
  return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

double TagVar::ParseDouble(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  // Decimal only: no second sign, no "inf" or "nan" words.
  if (i >= s.size() || !(IsDigit(s[i]) || s[i] == '.')) return 0;
  const char* b = s.data() + i;
  const char* e = s.data() + s.size();
  double d = 0;
  auto r = std::from_chars(b, e, d, std::chars_format::general);
  if (r.ec == std::errc::invalid_argument) return 0;
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow or underflow: find the decimal magnitude of the first
    // significant digit to tell which.
    int64_t mag = 0;
    bool seenPoint = false, found = false;
    int64_t intDigits = 0, leadZeros = 0;
    const char* p = b;
    for (; p < r.ptr && (IsDigit(*p) || *p == '.'); ++p) {
      if (*p == '.') {
        seenPoint = true;
        continue;
      }
      if (!found && *p == '0') {
        if (seenPoint) ++leadZeros;
        continue;
      }
      found = true;
      if (!seenPoint) ++intDigits;
    }
    mag = intDigits > 0 ? intDigits - 1 : -leadZeros - 1;
    if (p < r.ptr && (*p == 'e' || *p == 'E')) mag += ParseInt(std::string_view(p + 1, r.ptr - p - 1));
    d = mag >= 0 ? HUGE_VAL : 0.0;
  }
  return neg ? -d : d;
}

// ---- construction ----

TagVar::TagVar(const TagVar& o)
    : name_(o.name_), dbl_(o.dbl_), fn_(o.fn_), int_(o.int_), handle_(o.handle_), type_(o.type_), isConst_(o.isConst_) {
  if (o.type_ == kMap) ++mapsMade_;
  if (o.type_ == kString && o.int_ > 1) {
    size_t n = size_t(o.int_) - 1;
    text_ = new (std::nothrow) char[n + 1];
    if (text_) {
      std::memcpy(text_, o.text_, n);
      text_[n] = 0;
      cap_ = uint32_t(n + 1);
    } else {
      LogTooLong(int64_t(n));
      int_ = 1;
    }
  }
}

TagVar::TagVar(TagVar&& o) noexcept
    : name_(std::move(o.name_)),
      text_(o.text_),
      dbl_(o.dbl_),
      fn_(o.fn_),
      int_(o.int_),
      cap_(o.cap_),
      handle_(o.handle_),
      type_(o.type_),
      isConst_(o.isConst_) {
  o.text_ = nullptr;
  o.cap_ = 0;
  if (o.type_ == kString) o.int_ = 1;
  if (type_ == kMap) ++mapsMade_;
}

TagVar::~TagVar() { delete[] text_; }

TagVar TagVar::Int(int32_t v) {
  TagVar t;
  t.type_ = kInt;
  t.int_ = v;
  return t;
}
TagVar TagVar::Dbl(double v) {
  TagVar t;
  t.type_ = kDouble;
  t.dbl_ = v;
  return t;
}
TagVar TagVar::Str(std::string_view s) {
  TagVar t;
  t.SetString(s);
  return t;
}

TagVar& TagVar::ConstNull() {
  // Never destroyed: finalisers of other objects may still look things up.
  static TagVar* const null = new TagVar(true);
  return *null;
}

// ---- definition ----

void TagVar::SetName(std::string_view name) {
  if (this != &ConstNull()) name_.assign(name);
}
void TagVar::SetConst(bool c) {
  if (this != &ConstNull()) isConst_ = c;
}

void TagVar::DefineInt(std::string_view name, int32_t v, bool isConst) {
  if (this == &ConstNull()) return;
  int32_t old = type_ == kMap ? handle_ : 0;
  name_.assign(name);
  isConst_ = isConst;
  type_ = kInt;
  int_ = v;
  dbl_ = 0;
  fn_ = nullptr;
  ReleaseMap(old);
}
void TagVar::DefineDouble(std::string_view name, double v, bool isConst) {
  if (this == &ConstNull()) return;
  int32_t old = type_ == kMap ? handle_ : 0;
  name_.assign(name);
  isConst_ = isConst;
  type_ = kDouble;
  dbl_ = v;
  int_ = 0;
  ReleaseMap(old);
}
void TagVar::DefineString(std::string_view name, std::string_view s, bool isConst) {
  if (this == &ConstNull()) return;
  int32_t old = type_ == kMap ? handle_ : 0;
  name_.assign(name);
  isConst_ = isConst;
  if (!WriteBytes(s.data(), s.size())) WriteBytes("", 0);
  ReleaseMap(old);
}
void TagVar::DefineFunction(std::string_view name, TagTelBasic* body, bool isConst) {
  if (this == &ConstNull()) return;
  int32_t old = type_ == kMap ? handle_ : 0;
  name_.assign(name);
  isConst_ = isConst;
  type_ = kFunction;
  fn_ = body;
  int_ = 0;
  dbl_ = 0;
  ReleaseMap(old);
}

// ---- text buffer ----

bool TagVar::WriteBytes(const char* p, size_t n) {
  if (n > size_t(TextLimit())) {
    LogTooLong(int64_t(n));
    return false;
  }
  if (n + 1 > cap_) {
    char* nb = new (std::nothrow) char[n + 1];
    if (!nb) {
      LogTooLong(int64_t(n));
      return false;
    }
    if (n) std::memcpy(nb, p, n);  // p may be in the old buffer: copy before freeing
    delete[] text_;
    text_ = nb;
    cap_ = uint32_t(n + 1);
  } else if (n) {
    std::memmove(text_, p, n);
  }
  text_[n] = 0;
  int_ = int32_t(n + 1);
  type_ = kString;
  return true;
}

bool TagVar::Reserve(size_t n, size_t keep) {
  if (n > size_t(TextLimit())) {
    LogTooLong(int64_t(n));
    return false;
  }
  if (n + 1 <= cap_) return true;
  // Geometric growth keeps appends in a loop linear overall.
  size_t want = std::max(n + 1, size_t(cap_) * 2);
  want = std::min(want, size_t(TextLimit()) + 1);
  char* nb = new (std::nothrow) char[want];
  if (!nb) {
    LogTooLong(int64_t(n));
    return false;
  }
  if (keep) std::memcpy(nb, text_, keep);
  delete[] text_;
  text_ = nb;
  cap_ = uint32_t(want);
  return true;
}

bool TagVar::SetConcat(const char* pa, size_t na, const char* pb, size_t nb) {
  size_t total = na + nb;
  if (total > size_t(TextLimit())) {
    LogTooLong(int64_t(total));
    return false;
  }
  char* old = text_;
  auto inOld = [&](const char* p, size_t n) { return n && old && p >= old && p < old + cap_; };
  bool bInOld = inOld(pb, nb);
  if (old && pa == old) {
    // In place: this value is the left side.
    size_t off = bInOld ? size_t(pb - old) : 0;
    if (!Reserve(total, na)) return false;
    if (bInOld) pb = text_ + off;
    if (nb) std::memcpy(text_ + na, pb, nb);
  } else {
    if (total + 1 <= cap_ && !bInOld && !inOld(pa, na)) {
      if (na) std::memcpy(text_, pa, na);
      if (nb) std::memcpy(text_ + na, pb, nb);
    } else {
      char* buf = new (std::nothrow) char[total + 1];
      if (!buf) {
        LogTooLong(int64_t(total));
        return false;
      }
      if (na) std::memcpy(buf, pa, na);
      if (nb) std::memcpy(buf + na, pb, nb);
      delete[] text_;
      text_ = buf;
      cap_ = uint32_t(total + 1);
    }
  }
  text_[total] = 0;
  int_ = int32_t(total + 1);
  type_ = kString;
  return true;
}

bool TagVar::SetRepeat(const char* p, size_t n, int32_t times) {
  if (times <= 0 || n == 0) return WriteBytes("", 0);
  uint64_t total = uint64_t(n) * uint64_t(times);
  if (total > uint64_t(TextLimit())) {
    LogTooLong(static_cast<long long>(total));
    return false;
  }
  // Always a fresh buffer: p may be this value's own text.
  char* buf = new (std::nothrow) char[total + 1];
  if (!buf) {
    LogTooLong(static_cast<long long>(total));
    return false;
  }
  std::memcpy(buf, p, n);
  size_t have = n;
  while (have < total) {
    size_t chunk = std::min<size_t>(have, total - have);
    std::memcpy(buf + have, buf, chunk);
    have += chunk;
  }
  buf[total] = 0;
  delete[] text_;
  text_ = buf;
  cap_ = uint32_t(total + 1);
  int_ = int32_t(total + 1);
  type_ = kString;
  return true;
}

// ---- writes ----

void TagVar::ReleaseMap(int32_t h) {
  if (h) TagMapObject::Instance().Release(h);
}

void TagVar::PutMap(TagVar& t, int32_t h, bool acquire) {
  if (t.type_ == kMap && t.handle_ == h) return;
  int32_t old = t.type_ == kMap && acquire ? t.handle_ : 0;
  if (acquire && h > 0) TagMapObject::Instance().AddRef(h);
  t.type_ = kMap;
  ++mapsMade_;
  t.handle_ = h;
  ReleaseMap(old);
}

TagVar& TagVar::SetIntSlow(int32_t v) {
  int32_t old = handle_;
  type_ = kInt;
  int_ = v;
  ReleaseMap(old);
  return *this;
}

TagVar& TagVar::SetDoubleSlow(double v) {
  int32_t old = handle_;
  type_ = kDouble;
  dbl_ = v;
  ReleaseMap(old);
  return *this;
}

TagVar& TagVar::SetString(std::string_view s) { return SetBytes(s.data(), s.size()); }

TagVar& TagVar::SetBytes(const void* p, size_t n) {
  if (isConst_) return *this;
  int32_t old = type_ == kMap ? handle_ : 0;
  if (WriteBytes(static_cast<const char*>(p), n)) ReleaseMap(old);
  return *this;
}

TagVar& TagVar::SetNull() {
  if (isConst_) return *this;
  int32_t old = type_ == kMap ? handle_ : 0;
  type_ = kNull;
  int_ = 0;
  dbl_ = 0;
  ReleaseMap(old);
  return *this;
}

TagVar& TagVar::SetFunction(TagTelBasic* body) {
  if (isConst_) return *this;
  int32_t old = type_ == kMap ? handle_ : 0;
  type_ = kFunction;
  fn_ = body;
  ReleaseMap(old);
  return *this;
}

TagVar& TagVar::SetMap(int32_t h) {
  if (!isConst_) PutMap(*this, h, true);
  return *this;
}

TagVar& TagVar::AppendBytes(const void* p, size_t n) {
  if (isConst_) return *this;
  if (type_ != kString) {
    int32_t old = type_ == kMap ? handle_ : 0;
    if (WriteBytes(static_cast<const char*>(p), n)) ReleaseMap(old);
    return *this;
  }
  SetConcat(text_ ? text_ : "", TextLen(), static_cast<const char*>(p), n);
  return *this;
}

void TagVar::AssignGeneral(const TagVar& src) {
  if (&src == this || isConst_) return;
  int32_t old = type_ == kMap ? handle_ : 0;
  if (src.type_ == kString) {
    // Copy first: src may live in the map that the release below frees.
    if (!WriteBytes(src.Text(), src.TextLen())) return;
  } else {
    if (src.type_ == kMap) {
      ++mapsMade_;
      if (old == src.handle_)
        old = 0;
      else if (src.handle_ > 0)
        TagMapObject::Instance().AddRef(src.handle_);
    }
    type_ = src.type_;
    int_ = src.int_;
    dbl_ = src.dbl_;
    handle_ = src.handle_;
    fn_ = src.fn_;
  }
  ReleaseMap(old);
}

void TagVar::CopyValueNoRef(const TagVar& src) {
  if (&src == this) return;
  if (src.type_ == kString) {
    WriteBytes(src.Text(), src.TextLen());
    return;
  }
  if (src.type_ == kMap) ++mapsMade_;
  type_ = src.type_;
  int_ = src.int_;
  dbl_ = src.dbl_;
  handle_ = src.handle_;
  fn_ = src.fn_;
}

// ---- reads ----

int32_t TagVar::AsIntSlow() const {
  switch (type_) {
    case kDouble: {
      double d = dbl_;
      if (!(d > -2147483649.0 && d < 2147483648.0)) return INT32_MIN;  // NaN too
      return static_cast<int32_t>(d);
    }
    case kString:
      return ParseInt(CText(*this));
    case kMap:
      return handle_;
    default:
      return int_;
  }
}

double TagVar::AsDoubleSlow() const {
  switch (type_) {
    case kString:
      return ParseDouble(CText(*this));
    case kMap:
      return handle_;
    default:
      return dbl_;
  }
}

void TagVar::ToText(std::string& out, bool quote) const {
  switch (type_) {
    case kString:
      if (quote) out += '"';
      out += CText(*this);
      if (quote) out += '"';
      return;
    case kInt:
      AppendInt(out, int_);
      return;
    case kDouble:
      AppendDouble(out, dbl_, true);
      return;
    case kMap:
      TagMapObject::Instance().ToText(handle_, out);
      return;
    case kFunction: {
      out += "function ";
      if (auto fn = g_fnName.load(); fn && fn_) out += fn(fn_);
      return;
    }
    default:
      out += "NULL";
  }
}

int32_t TagVar::Length() const {
  switch (type_) {
    case kString:
      return int_ > 0 ? int_ - 1 : 0;
    case kMap:
      return TagMapObject::Instance().Count(handle_);
    default:
      return 4;
  }
}

void TagVar::TypeName(std::string& typeOut, std::string& valueOut) const {
  switch (type_) {
    case kNull: typeOut = GBK("空"); break;
    case kString: typeOut = GBK("字符串"); break;
    case kInt: typeOut = GBK("整型"); break;
    case kDouble: typeOut = GBK("浮点型"); break;
    case kMap: typeOut = GBK("字典(数组)型"); break;
    case kFunction: typeOut = GBK("函数型"); break;
    default: typeOut = GBK("未知类型"); break;
  }
  valueOut.clear();
  ToText(valueOut, true);
}

// ---- comparisons ----

int TagVar::Equals(const TagVar& b) const {
  const TagVar& a = *this;
  if (a.type_ == kNull && b.type_ == kNull) return 1;
  if (a.type_ != b.type_ && (a.type_ == kNull || b.type_ == kNull || a.type_ == kFunction || b.type_ == kFunction))
    return 0;
  if (a.type_ == kDouble || b.type_ == kDouble) return a.AsDouble() == b.AsDouble();
  if (a.type_ == kInt || b.type_ == kInt) return a.AsInt() == b.AsInt();
  if (a.type_ != b.type_) return 0;
  switch (a.type_) {
    case kMap: return a.handle_ == b.handle_;
    case kString: return std::strcmp(a.Text(), b.Text()) == 0;
    case kFunction: return a.fn_ == b.fn_;
    default: return 0;
  }
}

int TagVar::Greater(const TagVar& b) const {
  const TagVar& a = *this;
  if (a.type_ == kDouble || b.type_ == kDouble) return a.AsDouble() > b.AsDouble();
  if (a.type_ == kInt || b.type_ == kInt) return a.AsInt() > b.AsInt();
  if (a.type_ == kMap && b.type_ == kMap) {
    auto& reg = TagMapObject::Instance();
    return reg.Count(a.handle_) > reg.Count(b.handle_);
  }
  if (a.type_ == kString && b.type_ == kString) return std::strcmp(a.Text(), b.Text()) > 0;
  return 0;
}

int TagVar::Less(const TagVar& b) const {
  const TagVar& a = *this;
  if (a.type_ == kDouble || b.type_ == kDouble) return a.AsDouble() < b.AsDouble();
  if (a.type_ == kInt || b.type_ == kInt) return a.AsInt() < b.AsInt();
  if (a.type_ == kMap && b.type_ == kMap) {
    auto& reg = TagMapObject::Instance();
    return reg.Count(a.handle_) < reg.Count(b.handle_);
  }
  if (a.type_ == kString && b.type_ == kString) return std::strcmp(a.Text(), b.Text()) < 0;
  return 0;
}

// ---- arithmetic ----

void TagVar::AddCore(TagVar& t, const TagVar& a, const TagVar& b, bool acquire) {
  auto copyOf = [&](const TagVar& v) {
    if (acquire)
      t.Assign(v);
    else
      t.CopyValueNoRef(v);
  };
  if (a.type_ == kString) {
    if (b.type_ == kString) {
      if (b.int_ <= 0)
        copyOf(a);
      else if (a.int_ > 0) {
        int32_t old = t.type_ == kMap ? t.handle_ : 0;
        if (t.SetConcat(a.Text(), a.TextLen(), b.Text(), b.TextLen()) && acquire) ReleaseMap(old);
      } else
        copyOf(b);
      return;
    }
    if (b.type_ == kNull) {
      copyOf(a);
      return;
    }
    std::string suffix;
    if (b.type_ == kInt)
      AppendInt(suffix, b.int_);
    else if (b.type_ == kMap || b.type_ == kFunction)
      b.ToText(suffix, false);
    else
      AppendDouble(suffix, b.dbl_, true);
    int32_t old = t.type_ == kMap ? t.handle_ : 0;
    if (t.SetConcat(a.Text(), a.TextLen(), suffix.data(), suffix.size()) && acquire) ReleaseMap(old);
    return;
  }
  if (a.type_ == kMap && b.type_ == kMap) {
    auto& reg = TagMapObject::Instance();
    int32_t h = reg.Union(a.handle_, b.handle_);
    if (h < 0) h = reg.Clone(b.handle_);
    if (h > 0)
      PutMap(t, h, acquire);
    else if (acquire)
      t.SetNull();
    else
      t.type_ = kNull;
    return;
  }
  if (a.type_ == kDouble || b.type_ == kDouble) {
    t.SetDouble(a.AsDouble() + b.AsDouble());
    return;
  }
  if (a.type_ == kInt || b.type_ == kInt) {
    t.SetInt(Wrap(int64_t(a.AsInt()) + b.AsInt()));
    return;
  }
  // Null is the identity; a map or function keeps itself.
  copyOf(a.type_ == kNull ? b : a);
}

int32_t TagVar::AddAssign(TagVar& t, const TagVar& a, const TagVar& b) {
  if (t.isConst_) return -1;
  AddCore(t, a, b, true);
  return t.int_;
}

TagVar TagVar::Add(const TagVar& a, const TagVar& b) {
  TagVar r;
  AddCore(r, a, b, false);
  return r;
}

TagVar TagVar::Subtract(const TagVar& a, const TagVar& b) {
  TagVar r;
  if (a.IsNumber() && b.IsNumber()) {
    if (a.type_ == kDouble || b.type_ == kDouble)
      r.SetDouble(a.AsDouble() - b.AsDouble());
    else
      r.SetInt(Wrap(int64_t(a.int_) - b.int_));
  } else if (a.type_ == kMap && b.type_ == kMap) {
    int32_t h = TagMapObject::Instance().Difference(a.handle_, b.handle_);
    if (h > 0) PutMap(r, h, false);
  } else {
    r.CopyValueNoRef(a);
  }
  return r;
}

TagVar TagVar::Multiply(const TagVar& a, const TagVar& b) {
  TagVar r;
  if (a.IsNumber() && b.IsNumber()) {
    if (a.type_ == kDouble || b.type_ == kDouble)
      r.SetDouble(a.AsDouble() * b.AsDouble());
    else
      r.SetInt(Wrap(int64_t(a.int_) * b.int_));
  } else if (a.type_ == kMap && b.type_ == kMap) {
    int32_t h = TagMapObject::Instance().Intersect(a.handle_, b.handle_);
    if (h > 0) PutMap(r, h, false);
  } else {
    r.CopyValueNoRef(a);
  }
  return r;
}

bool TagVar::Calculate(char op, TagVar& t, const TagVar& a, const TagVar* pb) {
  if (t.isConst_) return false;
  const TagVar& b = pb ? *pb : ConstNull();
  // Ints on both sides: the common case, no conversions.
  if (a.type_ == kInt && b.type_ == kInt && t.type_ != kMap) {
    int32_t x = a.int_, y = b.int_;
    switch (op) {
      case kCalcAdd:
        t.type_ = kInt;
        t.int_ = Wrap(int64_t(x) + y);
        return true;
      case kCalcSub:
        t.type_ = kInt;
        t.int_ = Wrap(int64_t(x) - y);
        return true;
      case kCalcMul:
        t.type_ = kInt;
        t.int_ = Wrap(int64_t(x) * y);
        return true;
      case kCalcLess: t.type_ = kInt; t.int_ = x < y; return true;
      case kCalcGreater: t.type_ = kInt; t.int_ = x > y; return true;
      case kCalcLessEq: t.type_ = kInt; t.int_ = x <= y; return true;
      case kCalcGreaterEq: t.type_ = kInt; t.int_ = x >= y; return true;
      case kCalcEq: t.type_ = kInt; t.int_ = x == y; return true;
      case kCalcNotEq: t.type_ = kInt; t.int_ = x != y; return true;
      default:
        break;  // the general rules below give the same for ints
    }
  }
  switch (op) {
    case kCalcCopy:
      t.Assign(a);
      return true;
    case kCalcNot:
      t.SetInt(a.AsInt() == 0);
      return true;
    case kCalcComplement:
      t.SetInt(~a.AsInt());
      return true;
    case kCalcEq:
      t.SetInt(a.Equals(b));
      return true;
    case kCalcNotEq:
      t.SetInt(!a.Equals(b));
      return true;
    case kCalcLess:
      t.SetInt(a.Less(b));
      return true;
    case kCalcGreater:
      t.SetInt(a.Greater(b));
      return true;
    case kCalcLessEq:
      t.SetInt(a.Less(b) || a.Equals(b));
      return true;
    case kCalcGreaterEq:
      t.SetInt(a.Greater(b) || a.Equals(b));
      return true;
    case kCalcAnd: {
      int x = a.AsInt(), y = b.AsInt();
      t.SetInt(x != 0 && y != 0);
      return true;
    }
    case kCalcOr: {
      int x = a.AsInt(), y = b.AsInt();
      t.SetInt(x != 0 || y != 0);
      return true;
    }
    case kCalcBitAnd:
      t.SetInt(a.AsInt() & b.AsInt());
      return true;
    case kCalcBitOr:
      t.SetInt(a.AsInt() | b.AsInt());
      return true;
    case kCalcBitXor:
      t.SetInt(a.AsInt() ^ b.AsInt());
      return true;
    case kCalcShiftLeft:
      t.SetInt(static_cast<int32_t>(static_cast<uint32_t>(a.AsInt()) << (b.AsInt() & 31)));
      return true;
    case kCalcShiftRight:
      if (a.type_ == kMap) {
        TagMapObject::Instance().Remove(a.handle_, b);
        if (&t != &a) t.Assign(a);
        return true;
      }
      t.SetInt(a.AsInt() >> (b.AsInt() & 31));
      return true;
    case kCalcMod: {
      int32_t y = b.AsInt();
      if (y == 0) return false;
      int32_t x = a.AsInt();
      t.SetInt(y == -1 ? 0 : x % y);
      return true;
    }
    case kCalcDiv:
      if (a.type_ == kDouble || b.type_ == kDouble) {
        double y = b.AsDouble();
        if (!(y > 0.001 || y < -0.001)) return false;
        t.SetDouble(a.AsDouble() / y);
        return true;
      }
      if (a.type_ == kInt || b.type_ == kInt) {
        int32_t y = b.AsInt();
        if (y == 0) return false;
        int32_t x = a.AsInt();
        t.SetInt(y == -1 ? Wrap(-int64_t(x)) : x / y);
        return true;
      }
      return false;
    case kCalcMul:
      if (a.type_ == kString && b.type_ == kInt) {
        int32_t old = t.type_ == kMap ? t.handle_ : 0;
        if (!t.SetRepeat(a.Text(), a.TextLen(), b.int_)) return false;
        ReleaseMap(old);
        return true;
      }
      if (a.type_ == kDouble || b.type_ == kDouble) {
        t.SetDouble(a.AsDouble() * b.AsDouble());
        return true;
      }
      if (a.type_ == kInt || b.type_ == kInt) {
        t.SetInt(Wrap(int64_t(a.AsInt()) * b.AsInt()));
        return true;
      }
      if (a.type_ == kMap && b.type_ == kMap) {
        int32_t h = TagMapObject::Instance().Intersect(a.handle_, b.handle_);
        if (h <= 0) return false;
        PutMap(t, h, true);
        return true;
      }
      return false;
    case kCalcAdd:
      if (!pb) {
        if (a.type_ == kDouble)
          t.SetDouble(a.dbl_);
        else
          t.SetInt(a.AsInt());
        return true;
      }
      AddCore(t, a, b, true);
      return true;
    case kCalcSub:
      if (!pb) {
        if (a.type_ == kDouble)
          t.SetDouble(-a.dbl_);
        else
          t.SetInt(Wrap(-int64_t(a.AsInt())));
        return true;
      }
      if (a.type_ == kMap && b.type_ == kMap) {
        int32_t h = TagMapObject::Instance().Difference(a.handle_, b.handle_);
        if (h <= 0) return false;
        PutMap(t, h, true);
        return true;
      }
      if (a.type_ == kDouble || b.type_ == kDouble) {
        t.SetDouble(a.AsDouble() - b.AsDouble());
        return true;
      }
      if (a.type_ == kInt || b.type_ == kInt) {
        t.SetInt(Wrap(int64_t(a.AsInt()) - b.AsInt()));
        return true;
      }
      t.Assign(a);
      return true;
    case kCalcIndex:
      a.GetItem(b, t);
      return true;
    default:
      return false;
  }
}

// ---- map access ----

void TagVar::GetItem(const TagVar& key, TagVar& out) const {
  if (type_ != kMap) {
    out.Assign(ConstNull());
    return;
  }
  TagMapObject::Instance().GetElement(handle_, key, out);
}

TagVar& TagVar::Item(const TagVar& key) {
  if (isConst_) return ConstNull();
  return *TagMapObject::Instance().ElementOf(*this, key, nullptr, nullptr);
}

void TagVar::SetItem(const TagVar& key, const TagVar& value) {
  if (isConst_) return;
  TagMapObject::Instance().ElementOf(*this, key, &value, nullptr);
}

void TagVar::LoadItem(const TagVar& key, TagVar& out) {
  if (isConst_) {
    out.Assign(ConstNull());
    return;
  }
  TagMapObject::Instance().ElementOf(*this, key, nullptr, &out);
}

int TagVar::RemoveItem(const TagVar& key) {
  if (type_ != kMap) return 0;
  return TagMapObject::Instance().Remove(handle_, key);
}

int TagVar::EntryAt(int32_t i, TagVar& keyOut, TagVar& valueOut) const {
  if (type_ != kMap) return -1;
  return TagMapObject::Instance().EntryAt(handle_, i, keyOut, valueOut);
}

int TagVar::Keys(std::vector<TagVarP>& out) const {
  if (type_ != kMap) return 0;
  return TagMapObject::Instance().Keys(handle_, out);
}

void TagVarP::ToVar(TagVar& out) const {
  switch (kind) {
    case 1: out.SetBytes(strKey.data(), strKey.size()); break;
    case 3: out.SetDouble(dblKey); break;
    default: out.SetInt(intKey); break;
  }
}
