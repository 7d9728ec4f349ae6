#pragma once
// Small helpers to write tables of script values.
#include <cmath>
#include <string>

#include "engine/tagvar.h"

struct V {
  enum K { kNone, kNull, kInt, kDbl, kStr } k = kNone;
  int32_t i = 0;
  double d = 0;
  std::string s;

  static V None() { return {}; }
  static V Null() { return {kNull}; }
  static V I(int32_t v) { return {kInt, v}; }
  static V D(double v) { return {kDbl, 0, v}; }
  static V S(std::string v) { return {kStr, 0, 0, std::move(v)}; }

  void Into(TagVar& t) const {
    switch (k) {
      case kInt: t.SetInt(i); break;
      case kDbl: t.SetDouble(d); break;
      case kStr: t.SetBytes(s.data(), s.size()); break;
      default: t.SetNull(); break;
    }
  }
  TagVar Make() const {
    TagVar t;
    Into(t);
    return t;
  }
  std::string Show() const {
    switch (k) {
      case kNone: return "-";
      case kNull: return "NULL";
      case kInt: return "int " + std::to_string(i);
      case kDbl: return "dbl " + std::to_string(d);
      default: return "str \"" + s + "\"";
    }
  }
};

// A value's type and exact content, for comparing against a V.
inline testing::AssertionResult Holds(const TagVar& t, const V& want) {
  bool ok = false;
  switch (want.k) {
    case V::kNull: ok = t.IsNull(); break;
    case V::kInt: ok = t.IsInt() && t.IntValue() == want.i; break;
    case V::kDbl:
      ok = t.IsDouble() && (t.DblValue() == want.d || (std::isnan(want.d) && std::isnan(t.DblValue())));
      break;
    case V::kStr: ok = t.IsString() && t.Bytes() == want.s; break;
    default: break;
  }
  if (ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "value is type " << t.Type() << " text \"" << t.ToText() << "\", want "
                                     << want.Show();
}
