// Integer and double work must never touch the heap, and appending to a
// string grows its buffer geometrically. Counted through the global
// allocation functions, which this test program replaces.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/tagvar.h"

namespace {
std::atomic<long> g_allocs{0};
void* Count(size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n ? n : 1);
}
}  // namespace

void* operator new(size_t n) {
  if (void* p = Count(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  if (void* p = Count(n)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Count(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Count(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

TEST(Allocations, NoneForIntegerAndDoubleWork) {
  TagVar i = TagVar::Int(7), j = TagVar::Int(3), d = TagVar::Dbl(2.5);
  TagVar t = TagVar::Str("was a string");  // its buffer is kept, not freed
  TagVar u;
  const char ops[] = {'+', '-', '*', '/', '%', '<', '>', 'l', 'g', '=', '#', 'a', 'o', '&', '|', '^', 'L', 'R', 0};
  long before = 0;
  long sum = 0;
  // Round 0 warms up the process-wide objects made on first use.
  for (int round = 0; round < 100; ++round) {
    if (round == 1) before = g_allocs.load();
    for (char op : ops) {
      TagVar::Calculate(op, t, i, &j);
      TagVar::Calculate(op, u, d, &i);
      TagVar::Calculate(op, t, t, &d);
      sum += t.AsInt() + u.AsInt();
    }
    TagVar::Calculate('-', t, i, nullptr);
    TagVar::Calculate('!', t, d, nullptr);
    TagVar::AddAssign(u, i, d);
    TagVar r = TagVar::Add(i, j);  // a new value, still no heap
    sum += r.AsInt() + i.Equals(d) + i.Greater(j) + d.Less(j) + int(d.AsDouble());
    t.SetInt(round);
    t.SetDouble(round);
  }
  long after = g_allocs.load();
  EXPECT_EQ(after - before, 0) << sum;
}

TEST(Allocations, AppendGrowsGeometrically) {
  TagVar s = TagVar::Str("");
  TagVar x = TagVar::Str("x");
  long before = g_allocs.load();
  for (int k = 0; k < 100000; ++k) TagVar::Calculate('+', s, s, &x);
  long after = g_allocs.load();
  EXPECT_EQ(s.Length(), 100000);
  EXPECT_LT(after - before, 40);  // about log2(100000) buffers
}

}  // namespace
