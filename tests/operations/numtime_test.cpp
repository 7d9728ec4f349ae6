// Conversions, number formatting, the random generator, dates, clocks and
// the script's sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "engine/scriptrand.h"
#include "operations/numtime.h"
#include "platform/tick.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/waitfor.h"

namespace {

using namespace optest;
using K = KeywordId;

class Numbers : public OpTable {};

TEST_F(Numbers, TypesAndConversions) {
  Check({
      {"Type null", K::Type, {N(), N()}, 0, {{1, "0"}}},
      {"Type string", K::Type, {S("1"), N()}, 1, {{1, "1"}}},
      {"Type int", K::Type, {I(1), N()}, 2, {{1, "2"}}},
      {"Type double", K::Type, {D(1.5), N()}, 3, {{1, "3"}}},
      {"Int hex", K::Int, {S("0x1F"), N()}, 31, {{1, "31"}}},
      {"Int hex upper", K::Int, {S("0XfF"), N()}, 255, {{1, "255"}}},
      {"Int hex without digits", K::Int, {S("0x"), N()}, 0, {{1, "0"}}},
      {"Int hex with sign", K::Int, {S("0x-1F"), N()}, -31, {{1, "-31"}}},
      {"Int hex keeps the low 32 bits", K::Int, {S("0x123456789"), N()}, 0x23456789, {{1, "591751049"}}},
      {"Int decimal prefix", K::Int, {S("12abc"), N()}, 12, {{1, "12"}}},
      {"Int decimal saturates", K::Int, {S("99999999999"), N()}, 2147483647, {{1, "2147483647"}}},
      {"Int double truncates", K::Int, {D(-2.7), N()}, -2, {{1, "-2"}}},
      {"Int constant out", K::Int, {S("5"), C(I(1))}, 5, {{1, "1"}}},
      {"Float thousands", K::Float, {S("1,234.5"), N()}, 1234, {{1, "1234.5"}}, "1234.5"},
      {"Float exponent", K::Float, {S(" -2.5e2x"), N()}, -250, {{1, "-250."}}},
      {"Float no number", K::Float, {S("abc"), N()}, 0, {{1, "0."}}},
      {"Float of an int", K::Float, {I(3), N()}, 3, {{1, "3."}}},
      {"Str fraction", K::Str, {D(3.14159), I(0), I(2), N()}, 0, {{3, "\"3.14\""}}, "\"3.14\""},
      {"Str width", K::Str, {D(3.14159), I(8), I(2), N()}, 0, {{3, "\"    3.14\""}}},
      {"Str left aligned", K::Str, {D(3.14159), I(-6), I(1), N()}, 0, {{3, "\"3.1   \""}}},
      {"Str int", K::Str, {I(5), I(0), I(0), N()}, 0, {{3, "\"5\""}}},
      {"Str rounds", K::Str, {D(2.5), I(0), I(0), N()}, 0, {{3, "\"2\""}}},
      {"Str string unchanged", K::Str, {S("1.23456"), I(0), I(2), N()}, 0, {{3, "\"1.23456\""}}},
      {"Str null", K::Str, {N(), I(0), I(1), N()}, 0, {{3, "\"0.0\""}}},
      {"Hex", K::Hex, {I(255), I(0), N()}, 0, {{2, "\"ff\""}}},
      {"Hex width", K::Hex, {I(255), I(4), N()}, 0, {{2, "\"00ff\""}}},
      {"Hex negative", K::Hex, {I(-1), I(0), N()}, 0, {{2, "\"ffffffff\""}}},
      {"Hex of a string", K::Hex, {S("16"), I(0), N()}, 0, {{2, "\"10\""}}},
  });
}

TEST_F(Numbers, FormattedNumbersAreLimitedTo79Bytes) {
  auto wide = Args({D(1e300), I(0), I(0), N()});
  EXPECT_EQ(Exec(K::Str, wide), 0);
  EXPECT_EQ(wide[3]->TextLen(), 79u);
  EXPECT_EQ(std::string(wide[3]->Bytes()).substr(0, 3), "100");
  auto hex = Args({I(1), I(200), N()});
  EXPECT_EQ(Exec(K::Hex, hex), 0);
  EXPECT_EQ(hex[2]->TextLen(), 79u);
}

// The toolkit sets the user's locale; a decimal comma must not leak into
// scripts, nor be needed to read their numbers.
TEST_F(Numbers, DecimalPointWhateverTheLocale) {
  const char* set = std::setlocale(LC_ALL, "de_DE.UTF-8");
  if (!set) set = std::setlocale(LC_ALL, "fr_FR.UTF-8");
  if (!set) GTEST_SKIP() << "no locale with a decimal comma on this machine";
  auto str = Args({D(1234.5), I(0), I(1), N()});
  auto flt = Args({S("2.75"), N()});
  EXPECT_EQ(Exec(K::Str, str), 0);
  EXPECT_EQ(Exec(K::Float, flt), 2);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(Show(*str[3]), "\"1234.5\"");
  EXPECT_EQ(flt[1]->AsDouble(), 2.75);
}

TEST_F(Numbers, RandFollowsTheLineGenerator) {
  ScriptSrand(1);
  auto args = Args({N()});
  for (int want : {346, 130, 10982, 1090}) {
    EXPECT_EQ(Exec(K::Rand, args), want);
    EXPECT_EQ(args[0]->IntValue(), want);
  }
}

// A date as a day-by-day walk moves it: the behaviour StepDate must keep.
void Walk(int64_t& y, int& m, int64_t& d, int64_t days) {
  for (; days > 0; --days) {
    if (++d > DaysInMonth(y, m)) {
      d = 1;
      if (++m > 12) m = 1, ++y;
    }
  }
  for (; days < 0; ++days) {
    if (--d < 1) {
      if (--m < 1) m = 12, --y;
      d = DaysInMonth(y, m);
    }
  }
}

TEST(Dates, StepDateMatchesTheDayByDayWalk) {
  const int64_t years[] = {1899, 1900, 1999, 2000, 2023, 2024, 2100};
  const int64_t daysOf[] = {0, 1, 2, 28, 29, 30, 31, 45, 99};
  const int64_t steps[] = {-800, -366, -60, -31, -29, -2, -1, 0, 1, 2, 28, 29, 59, 365, 366, 1461, 800};
  for (int64_t y0 : years)
    for (int m0 = 1; m0 <= 12; ++m0)
      for (int64_t d0 : daysOf)
        for (int64_t n : steps) {
          int64_t y1 = y0, d1 = d0, y2 = y0, d2 = d0;
          int m1 = m0, m2 = m0;
          ASSERT_TRUE(StepDate(y1, m1, d1, n));
          Walk(y2, m2, d2, n);
          ASSERT_TRUE(y1 == y2 && m1 == m2 && d1 == d2)
              << y0 << "-" << m0 << "-" << d0 << " + " << n << ": " << y1 << "-" << m1 << "-" << d1 << " walk "
              << y2 << "-" << m2 << "-" << d2;
        }
  int64_t y = 2000, d = 1;
  int m = 13;
  EXPECT_FALSE(StepDate(y, m, d, 1));
}

class DateOps : public OpTable {};

TEST_F(DateOps, AfterDaysDate) {
  Check({
      {"into the next year", K::AfterDaysDate, {I(20231231), I(1), N()}, 20240101, {{2, "\"20240101\""}}},
      {"back to a leap day", K::AfterDaysDate, {I(20240301), I(-1), N()}, 20240229, {{2, "\"20240229\""}}},
      {"back in a common year", K::AfterDaysDate, {I(20230301), I(-1), N()}, 20230228, {{2, "\"20230228\""}}},
      {"century year is common", K::AfterDaysDate, {I(19000228), I(1), N()}, 19000301, {{2, "\"19000301\""}}},
      {"400th year is leap", K::AfterDaysDate, {I(20000228), I(1), N()}, 20000229, {{2, "\"20000229\""}}},
      {"no days", K::AfterDaysDate, {I(20240131), I(0), N()}, 20240131, {{2, "\"20240131\""}}},
      {"from a text", K::AfterDaysDate, {S("20240131"), I(1), N()}, 20240201, {{2, "\"20240201\""}}},
      {"a million days", K::AfterDaysDate, {I(20000101), I(1000000), N()}, 47371128, {{2, "\"47371128\""}}},
      {"far back", K::AfterDaysDate, {I(20000101), I(-700000), N()}, 830619, {{2, "\"830619\""}}},
      {"day past the month", K::AfterDaysDate, {I(20240230), I(1), N()}, 20240301, {{2, "\"20240301\""}}},
      {"month 13", K::AfterDaysDate, {I(20241301), I(1), I(7)}, -1, {{2, "7"}}},
      {"month 0", K::AfterDaysDate, {I(20240001), I(1), I(7)}, -1, {{2, "7"}}},
  });
}

TEST_F(DateOps, AfterDaysDateFromTodayAndDatetime) {
  auto dt = Args({N(), N(), N(), N(), N()});
  int today = Exec(K::Datetime, dt);
  auto after = Args({I(0), I(0), N()});
  int same = Exec(K::AfterDaysDate, after);
  // Unless the test runs across midnight, both name the same day.
  if (same == today) {
    EXPECT_EQ(Show(*after[2]), "\"" + std::to_string(today) + "\"");
  }
  EXPECT_EQ(today, dt[0]->IntValue() * 10000 + dt[1]->IntValue() * 100 + dt[2]->IntValue());
  EXPECT_EQ(dt[3]->TextLen(), 6u);
  EXPECT_GE(dt[4]->IntValue(), 0);
  EXPECT_LE(dt[4]->IntValue(), 6);
}

// Dates in a fixed zone eight hours east of UTC; the zone of the process is
// restored afterwards.
class FixedZone : public OpTable {
 protected:
  void SetUp() override {
    OpTable::SetUp();
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (tz) oldTz_ = tz;
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
  }
  void TearDown() override {
    if (hadTz_) ::setenv("TZ", oldTz_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
    OpTable::TearDown();
  }
  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(FixedZone, GetDateStrAndMakeTime) {
  const int t = 1706689805;  // 2024-01-31 08:30:05 UTC
  std::string big;
  for (int i = 0; i < 130; ++i) big += "%Y";
  Check({
      {"UTC", K::GetDateStr, {S("%Y-%m-%d %T"), I(t), I(1), N()}, 0, {{3, "\"2024-01-31 08:30:05\""}}},
      {"local", K::GetDateStr, {S("%Y-%m-%d %T"), I(t), I(0), N()}, 0, {{3, "\"2024-01-31 16:30:05\""}}},
      {"second %T as strftime has it", K::GetDateStr, {S("%T|%T"), I(t), I(1), N()}, 0,
       {{3, "\"08:30:05|08:30:05\""}}},
      {"names in the C locale", K::GetDateStr, {S("%a %b %j"), I(t), I(1), N()}, 0, {{3, "\"Wed Jan 031\""}}},
      {"before 1970", K::GetDateStr, {S("%Y-%m-%d"), I(-86400), I(1), N()}, 0, {{3, "\"1969-12-31\""}}},
      {"520 bytes", K::GetDateStr, {S(big), I(t), I(1), I(7)}, 0, {{3, "\"\""}}},
      {"not a format", K::GetDateStr, {I(5), I(t), I(1), I(7)}, -1, {{3, "7"}}},
      {"MakeTime", K::MakeTime, {I(2024), I(1), I(31), I(16), I(30), I(5)}, t, {}},
      {"minutes carry", K::MakeTime, {I(2024), I(1), I(31), I(16), I(90), I(0)}, t - 5 + 3600, {}},
      {"seconds carry back", K::MakeTime, {I(2024), I(2), I(1), I(0), I(0), I(-1)}, 1706716799, {}},
      {"past 2038", K::MakeTime, {I(2040), I(1), I(1), I(0), I(0), I(0)}, -1, {}},
  });
}

TEST_F(FixedZone, MakeTimeFillsTodayAndGetDateStrDefaultsToNow) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  auto args = Args({I(0), I(0), I(tm.tm_mday), I(12), I(0), I(0)});
  int got = Exec(K::MakeTime, args);
  std::tm want = tm;
  want.tm_hour = 12, want.tm_min = 0, want.tm_sec = 0, want.tm_isdst = -1;
  EXPECT_EQ(got, int(std::mktime(&want)));
  auto str = Args({S("%Y"), N(), I(0), N()});
  EXPECT_EQ(Exec(K::GetDateStr, str), 0);
  EXPECT_EQ(Show(*str[3]), "\"" + std::to_string(tm.tm_year + 1900) + "\"");
  int t = Exec(K::Time, {});
  EXPECT_LE(std::abs(t - int(std::time(nullptr))), 5);
}

TEST(Sleep, Limits) {
  struct Row {
    double seconds;
    int64_t limit;
  } rows[] = {{-1, -1}, {-0.0001, -1}, {NAN, -1}, {0, 0}, {0.0004, 1}, {0.001, 1}, {0.5, 500}, {2.9999, 2999},
              {1e12, 4294967295LL}};
  for (auto& r : rows) EXPECT_EQ(SleepLimitMs(r.seconds), r.limit) << r.seconds;
}

// A call object that counts its polls.
class PollingCall : public TagKxCall {
 public:
  int PollState() override {
    polls.fetch_add(1);
    return 0;
  }
  std::atomic<int> polls{0};
};

class SleepOp : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 0, &call_, 0);
    inst_->initResult = 0;
    call_.callState = kCallConnected;
  }
  // Runs Sleep(seconds) on a thread of its own; true when it ended within
  // the time-out.
  // meanwhile runs on the test's thread, told whether the sleep has ended.
  bool SleepEnds(double seconds, const std::function<void(const std::atomic<bool>&)>& meanwhile = {},
                 int timeoutMs = 20000) {
    auto args = Args({D(seconds)});
    auto op = Make(K::Sleep, args);
    std::atomic<bool> done{false};
    std::thread t([&] {
      op->Execute();
      done = true;
    });
    if (meanwhile) meanwhile(done);
    bool ended = testsupport::WaitFor([&] { return done.load(); }, timeoutMs);
    if (!ended) inst_->stopRequested = 1;  // let the thread finish
    t.join();
    return ended;
  }
  PollingCall call_;
};

TEST_F(SleepOp, EndsByItsLimitPollingTheCall) {
  uint32_t before = plat::TickCount();
  EXPECT_TRUE(SleepEnds(0.1));
  EXPECT_GE(plat::TickCount() - before, 100u);
  EXPECT_GE(call_.polls.load(), 1);
}

TEST_F(SleepOp, SubMillisecondAndNegativeWaitsEnd) {
  EXPECT_TRUE(SleepEnds(0.0004));
  EXPECT_TRUE(SleepEnds(-5));
}

TEST_F(SleepOp, ZeroWaitsUntilTheLineStops) {
  EXPECT_TRUE(SleepEnds(0, [&](const std::atomic<bool>& ended) {
    // Still sleeping a while later, then the stop ends it.
    EXPECT_FALSE(testsupport::WaitFor([&] { return ended.load(); }, 300));
    inst_->stopRequested = 1;
  }));
}

TEST_F(SleepOp, ALongSleepEndsOnStopOrInterrupt) {
  EXPECT_TRUE(SleepEnds(3600, [&](const std::atomic<bool>&) { inst_->stopRequested = 1; }));
  inst_->stopRequested = 0;
  EXPECT_TRUE(SleepEnds(3600, [&](const std::atomic<bool>&) { call_.interrupted = 1; }));
}

TEST_F(SleepOp, GetTickAroundASleep) {
  auto tick = Args({N()});
  int t1 = Exec(K::GetTick, tick);
  EXPECT_TRUE(SleepEnds(0.2));
  int t2 = Exec(K::GetTick, tick);
  EXPECT_EQ(tick[0]->IntValue(), t2);
  EXPECT_GE(t2 - t1, 200);
}

}  // namespace
