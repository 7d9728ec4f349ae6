// Type conversion, number formatting, the random generator, clocks, dates and
// the script's sleep. Numbers are read and written in the C locale; dates in
// the process's time zone.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/kxcall.h"
#include "engine/opfactory.h"
#include "engine/scriptrand.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "operations/numtime.h"
#include "platform/format.h"
#include "platform/tick.h"

// ---- the calendar arithmetic ----

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = yoe + era * 400 + (m <= 2);
}

}  // namespace

int DaysInMonth(int64_t year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

bool StepDate(int64_t& y, int& m, int64_t& d, int64_t days) {
  if (m < 1 || m > 12) return false;
  if (days == 0) return true;
  // A day outside the month is stepped as a day counter until it is inside
  // it again; from there the arithmetic is constant time.
  if (days > 0 && (d < 1 || d > DaysInMonth(y, m))) {
    if (d + 1 > DaysInMonth(y, m)) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
      --days;
    } else {
      int64_t steps = std::min<int64_t>(days, 1 - d);
      d += steps;
      days -= steps;
    }
  } else if (days < 0 && (d < 1 || d > DaysInMonth(y, m))) {
    if (d - 1 < 1) {
      if (--m < 1) {
        m = 12;
        --y;
      }
      d = DaysInMonth(y, m);
      ++days;
    } else {
      int64_t steps = std::min<int64_t>(-days, d - DaysInMonth(y, m));
      d -= steps;
      days += steps;
    }
  }
  if (days == 0) return true;
  int64_t mm = 0;
  CivilFromDays(DaysFromCivil(y, m, d) + days, y, mm, d);
  m = static_cast<int>(mm);
  return true;
}

namespace {

// A double truncated toward zero into an int (NaN and out of range: the
// lowest int, as value conversion does).
int32_t TruncInt(double d) {
  if (!(d > -2147483649.0 && d < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(d);
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

class TagType : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int t = Arg(0).Type();
    Arg(1).SetInt(t);
    return t;
  }
};

// scanf "%X": optional blanks and sign, hex digits up to the first other
// byte; beyond 8 digits the low 32 bits stay.
int32_t ScanHex(const char* p) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t v = 0;
  for (;; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9') digit = *p - '0';
    else if (*p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
    else break;
    v = (v << 4) | static_cast<uint32_t>(digit);
  }
  return static_cast<int32_t>(negative ? 0u - v : v);
}

class TagInt : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& v = Arg(0);
    int32_t n;
    std::string_view b = v.Bytes();
    if (v.IsString() && b.size() >= 2 && b[0] == '0' && (b[1] == 'x' || b[1] == 'X')) n = ScanHex(v.Text() + 2);
    else n = v.AsInt();  // a string's decimal number, saturating; a double truncated
    Arg(1).SetInt(n);
    return n;
  }
};

class TagFloat : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& v = Arg(0);
    double d;
    if (v.IsString()) {
      // The first 80 bytes, thousands separators dropped.
      std::string digits;
      for (const char* p = v.Text(); *p && p - v.Text() < 80; ++p)
        if (*p != ',') digits.push_back(*p);
      d = strtod_l(digits.c_str(), nullptr, plat::CLocale());
    } else {
      d = v.AsDouble();
    }
    Arg(1).SetDouble(d);
    StoreResult(TagVar::Dbl(d));
    return TruncInt(d);
  }
};

class TagStr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& v = Arg(0);
    std::string shown;
    if (v.IsString()) {
      shown.assign(v.Bytes());
    } else if (v.IsMap()) {
      shown = v.ToText();
    } else {
      double d = v.IsInt() ? double(v.IntValue()) : v.DblValue();
      int width = Arg(1).IntValue();
      int precision = Arg(2).IntValue();
      char buf[80];
      plat::CLocaleScope c;
      if (width != 0) std::snprintf(buf, sizeof buf, "%*.*f", width, precision, d);
      else std::snprintf(buf, sizeof buf, "%.*f", precision, d);
      shown = buf;
    }
    TagVar result = TagVar::Str(shown);
    Arg(3).Assign(result);
    StoreResult(result);
    return 0;
  }
};

class TagHex : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    uint32_t v = static_cast<uint32_t>(Arg(0).AsInt());
    int width = Arg(1).IntValue();
    char buf[80];
    if (width != 0) std::snprintf(buf, sizeof buf, "%0*x", width, v);
    else std::snprintf(buf, sizeof buf, "%x", v);
    Arg(2).SetString(buf);
    return 0;
  }
};

class TagRand : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int n = ScriptRand();
    Arg(0).SetInt(n);
    return n;
  }
};

class TagGetTick : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int32_t t = static_cast<int32_t>(plat::TickCount());
    Arg(0).SetInt(t);
    return t;
  }
};

}  // namespace

int64_t SleepLimitMs(double seconds) {
  if (std::isnan(seconds) || seconds < 0) return -1;
  if (seconds == 0) return 0;
  double ms = seconds * 1000;
  // Below a millisecond is one millisecond, not "no limit".
  if (ms < 1) return 1;
  if (ms >= 4294967295.0) return 4294967295LL;
  return static_cast<int64_t>(ms);
}

namespace {

class TagSleep : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int64_t limit = SleepLimitMs(Arg(0).AsDouble());
    if (limit < 0) return 0;
    TagKxCall* call = Call();
    uint32_t start = plat::TickCount();
    for (uint32_t step = 1;; ++step) {
      if (root_ && root_->stopRequested.load()) break;
      if (call && call->interrupted.load()) break;
      plat::SleepMs(1);
      // The call state and the talk-time limit keep running meanwhile.
      if (call && step % 20 == 0) call->PollState();
      if (limit != 0 && int64_t(plat::TickCount() - start) > limit) break;
    }
    return 0;
  }
};

class TagDatetime : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    std::tm tm = LocalNow();
    int year = tm.tm_year + 1900, month = tm.tm_mon + 1;
    Arg(0).SetInt(year);
    Arg(1).SetInt(month);
    Arg(2).SetInt(tm.tm_mday);
    Arg(3).SetString(plat::Format("%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec));
    Arg(4).SetInt(tm.tm_wday);
    return year * 10000 + month * 100 + tm.tm_mday;
  }
};

class TagAfterDaysDate : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& from = Arg(0);
    int64_t start = from.IsString() ? from.AsInt() : from.IntValue();
    int64_t y;
    int m;
    int64_t d;
    if (start > 0) {
      y = start / 10000;
      m = static_cast<int>(start / 100 % 100);
      d = start % 100;
    } else {
      std::tm tm = LocalNow();
      y = tm.tm_year + 1900;
      m = tm.tm_mon + 1;
      d = tm.tm_mday;
    }
    // A month outside 1-12 has no length to step by.
    if (!StepDate(y, m, d, Arg(1).IntValue())) return -1;
    Arg(2).SetString(plat::Format("%lld%02d%02lld", static_cast<long long>(y), m, static_cast<long long>(d)));
    return static_cast<int32_t>(static_cast<uint32_t>(y * 10000 + m * 100 + d));
  }
};

class TagTime : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return static_cast<int32_t>(std::time(nullptr)); }
};

class TagGetDateStr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& format = Arg(0);
    if (!format.IsString()) return -1;
    std::time_t t = Arg(1).IsNull() ? std::time(nullptr) : std::time_t(Arg(1).AsInt());
    std::tm tm{};
    bool ok = ArgInt(Arg(2)) != 0 ? gmtime_r(&t, &tm) != nullptr : localtime_r(&t, &tm) != nullptr;
    std::string fmt = format.Text();
    size_t at = fmt.find("%T");
    if (at != std::string::npos) fmt.replace(at, 2, "%H:%M:%S");
    // At most 510 bytes; a longer text gives the empty text.
    char buf[511];
    size_t n = ok ? strftime_l(buf, sizeof buf, fmt.c_str(), &tm, plat::CLocale()) : 0;
    Arg(3).SetString(std::string_view(buf, n));
    return 0;
  }
};

class TagMakeTime : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int32_t v[6];
    for (size_t i = 0; i < 6; ++i) v[i] = ArgInt(Arg(i));
    return MakeLocalTime(v[0], v[1], v[2], v[3], v[4], v[5]);
  }
};

}  // namespace

int32_t MakeLocalTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second) {
  std::tm now = LocalNow();
  std::tm tm{};
  tm.tm_year = year > 0 ? static_cast<int>(int64_t(year) - 1900) : now.tm_year;
  tm.tm_mon = month > 0 ? month - 1 : now.tm_mon;
  tm.tm_mday = day > 0 ? day : now.tm_mday;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  // Only what a 32-bit calendar time can hold.
  if (t == static_cast<std::time_t>(-1) || t < INT32_MIN || t > INT32_MAX) return -1;
  return static_cast<int32_t>(t);
}

const TagOpTable& NumberTimeOperations() {
  static const TagOpTable entries = {
      {KeywordId::Type, MakeLineOper<TagType>},
      {KeywordId::Int, MakeLineOper<TagInt>},
      {KeywordId::Float, MakeLineOper<TagFloat>},
      {KeywordId::Str, MakeLineOper<TagStr>},
      {KeywordId::Hex, MakeLineOper<TagHex>},
      {KeywordId::Rand, MakeLineOper<TagRand>},
      {KeywordId::GetTick, MakeLineOper<TagGetTick>},
      {KeywordId::Sleep, MakeLineOper<TagSleep>},
      {KeywordId::Datetime, MakeLineOper<TagDatetime>},
      {KeywordId::AfterDaysDate, MakeLineOper<TagAfterDaysDate>},
      {KeywordId::Time, MakeLineOper<TagTime>},
      {KeywordId::GetDateStr, MakeLineOper<TagGetDateStr>},
      {KeywordId::MakeTime, MakeLineOper<TagMakeTime>},
  };
  return entries;
}
