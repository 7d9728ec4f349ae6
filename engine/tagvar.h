#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/calcop.h"

class TagTelBasic;
struct TagVarP;

// The one value type of the script language: variables, literals, temporaries,
// operation arguments and map elements.
//
// Types: null, string, int, double, map (a handle into TagMapObject) and
// function (a TagTelBasic body). The type decides which field is the value;
// the others keep stale contents. A string keeps its bytes (NUL bytes allowed)
// in an owned buffer that is always NUL-terminated; IntValue() of a string is
// its length plus one. Comparisons, number conversion and display stop at the
// first NUL; copying and concatenation move every byte.
//
// Const values ignore every write (setters, Assign, Calculate, AddAssign);
// the Define* calls set a fresh value up and do not look at the flag.
//
// Map references: a value does not own its map. Only Assign and the setters
// move reference counts (acquire the new map, release the old one), never the
// copy constructor or the destructor: whoever discards a variable that may
// hold a map assigns it a non-map first.
//
// Threads: a value belongs to one line thread; nothing here takes a lock
// except work on maps, which takes the map's own lock (see tagmap.h).
// Integer and double work never allocates.
class TagVar {
 public:
  enum Type : int8_t { kNull = 0, kString = 1, kInt = 2, kDouble = 3, kMap = 4, kFunction = 5 };

  // Longest string a value holds. Far above what a call flow needs, and low
  // enough that one runaway line ("x" * n * n ...) cannot take the process
  // and every call on it down. A write that would pass it (or whose buffer
  // cannot be allocated) writes nothing and logs. Tests may lower it; 0
  // restores the default.
  static constexpr int32_t kMaxTextLen = 256 * 1024 * 1024;
  static void SetTextLimitForTest(int32_t limit);
  static int32_t TextLimit();

  // Null, empty name, empty text, int 0, double 0, no map, no function.
  TagVar() = default;
  explicit TagVar(bool isConst) : isConst_(isConst) {}
  // Copies name, type, const flag, int, double, handle, function; string bytes
  // for a string. Reference counts are left alone.
  TagVar(const TagVar& other);
  TagVar(TagVar&& other) noexcept;
  ~TagVar();
  // Assignment between values is Assign(): it keeps the target's name and
  // const flag, which operator= would hide.
  TagVar& operator=(const TagVar&) = delete;
  TagVar& operator=(TagVar&&) = delete;

  // Fresh non-const values, for temporaries and tests.
  static TagVar Int(int32_t v);
  static TagVar Dbl(double v);
  static TagVar Str(std::string_view s);

  // The process-wide constant null: lookups that find nothing return it,
  // writes to it are ignored.
  static TagVar& ConstNull();

  // ---- definition (compiler, instance set-up; fresh values only) ----
  // Set name, const flag and value. Notes are never stored. ConstNull() is
  // shared by every line and is never redefined.
  void DefineInt(std::string_view name, int32_t v, bool isConst);
  void DefineDouble(std::string_view name, double v, bool isConst);
  void DefineString(std::string_view name, std::string_view s, bool isConst);
  void DefineFunction(std::string_view name, TagTelBasic* body, bool isConst);
  void SetName(std::string_view name);
  void SetConst(bool c);

  // ---- writes (ignored on a const value; a replaced map is released) ----
  TagVar& SetString(std::string_view s);          // type string
  TagVar& SetBytes(const void* p, size_t n);       // type string, n bytes
  TagVar& SetInt(int32_t v) {                      // type int
    if (isConst_) return *this;
    if (type_ == kMap) return SetIntSlow(v);
    type_ = kInt;
    int_ = v;
    return *this;
  }
  TagVar& SetDouble(double v) {                    // type double
    if (isConst_) return *this;
    if (type_ == kMap) return SetDoubleSlow(v);
    type_ = kDouble;
    dbl_ = v;
    return *this;
  }
  TagVar& SetNull();                               // type null, int 0
  TagVar& SetFunction(TagTelBasic* body);          // type function
  // Type map holding handle h (acquired). A handle of 0 or an unregistered
  // one gives a map that behaves as empty.
  TagVar& SetMap(int32_t h);
  // Appends bytes to a string in place (amortised growth); a non-string first
  // becomes the empty string. For the "s = s + x" loops of scripts.
  TagVar& AppendBytes(const void* p, size_t n);

  // The heart of every copy between variables: nothing when src is this value
  // or this is const; moves map counts; copies type and value; keeps name and
  // const flag. A string source copies all IntValue() bytes.
  void Assign(const TagVar& src) {
    // Ints into a writable non-map: no reference counts to move, no call.
    if (src.type_ == kInt && type_ != kMap && !isConst_) {
      type_ = kInt;
      int_ = src.int_;
      dbl_ = src.dbl_;
      handle_ = src.handle_;
      fn_ = src.fn_;
      return;
    }
    AssignGeneral(src);
  }

  // ---- reads ----
  int Type() const { return type_; }
  bool IsConst() const { return isConst_; }
  bool IsNull() const { return type_ == kNull; }
  bool IsString() const { return type_ == kString; }
  bool IsInt() const { return type_ == kInt; }
  bool IsDouble() const { return type_ == kDouble; }
  bool IsMap() const { return type_ == kMap; }
  bool IsFunction() const { return type_ == kFunction; }
  bool IsNumber() const { return type_ == kInt || type_ == kDouble; }
  const std::string& Name() const { return name_; }

  // Raw fields: the "stored integer" of an argument (a string's length + 1),
  // the double, the handle, the function body.
  int32_t IntValue() const { return int_; }
  double DblValue() const { return dbl_; }
  int32_t MapHandle() const { return handle_; }
  TagTelBasic* Function() const { return fn_; }
  // The string bytes, NUL-terminated ("" for a value that never held text).
  const char* Text() const { return text_ ? text_ : ""; }
  // The string's byte count (IntValue() - 1, 0 for a non-string).
  size_t TextLen() const { return type_ == kString && int_ > 0 ? size_t(int_) - 1 : 0; }
  std::string_view Bytes() const { return {Text(), TextLen()}; }

  // double: truncated toward zero (NaN or out of range: INT32_MIN); string: the
  // leading decimal integer (blanks and one sign allowed, saturating, none: 0);
  // map: the handle; null, int, function: IntValue().
  int32_t AsInt() const {
    if (type_ == kInt) return int_;
    return AsIntSlow();
  }
  // int: converted; string: the leading decimal number (0 when none); map:
  // the handle; otherwise the double field.
  double AsDouble() const {
    if (type_ == kDouble) return dbl_;
    if (type_ == kInt) return int_;
    return AsDoubleSlow();
  }
  // Appends the display text: a string (in double quotes when quote is set,
  // no escaping, up to its first NUL), "%d", a double with six decimals and
  // trailing zeros cut ("2.5", "2.", "0."), the map text (empty for a map no
  // longer registered), "function <name>", "NULL".
  void ToText(std::string& out, bool quote = false) const;
  std::string ToText(bool quote = false) const {
    std::string s;
    ToText(s, quote);
    return s;
  }
  // string: byte count; map: element count (-1 when not registered); else 4.
  int32_t Length() const;
  // Display name of the type (GB text) and the quoted value text.
  void TypeName(std::string& typeOut, std::string& valueOut) const;

  // ---- comparisons (1 or 0) ----
  // Both null: 1; types differ and either is null or a function: 0; either
  // double: AsDouble equal; either int: AsInt equal; other mixed types: 0;
  // maps: same handle; strings: bytes equal up to the first NUL; functions:
  // same body.
  int Equals(const TagVar& b) const;
  // Either double: AsDouble; either int: AsInt; maps: element counts;
  // strings: unsigned byte order up to the first NUL; anything else: 0.
  int Greater(const TagVar& b) const;
  int Less(const TagVar& b) const;

  // ---- arithmetic returning a new value (operands untouched) ----
  // A map made by these holds no reference yet: it gains its first when the
  // result is assigned, and is never freed if the result is dropped.
  // Add: a string appends b (a string's bytes; an int as "%d"; a double
  // trimmed as in ToText; a map or function as its unquoted text; null:
  // nothing); two maps: their union; either double: double sum; either int:
  // int sum (wrapping). Left over: null + x gives x; a map or function + a
  // string, null or function gives a copy of a.
  static TagVar Add(const TagVar& a, const TagVar& b);
  // Add computed into t, which may be a or b (s = s + x appends in place).
  // Returns -1 without writing when t is const, else t's IntValue().
  static int32_t AddAssign(TagVar& t, const TagVar& a, const TagVar& b);
  // Both numeric: the difference (double when either is), maps: difference
  // map; anything else: a copy of a.
  static TagVar Subtract(const TagVar& a, const TagVar& b);
  // Both numeric: the product; maps: intersection map; else a copy of a.
  static TagVar Multiply(const TagVar& a, const TagVar& b);

  // One step of an expression: writes op(a, b) into target, which may be a
  // or b. b is null for the unary forms and plain assignment. Returns false
  // when the operator writes nothing (division by zero, a string too long,
  // pairs it does not define, a const target). Operators:
  //   0 assign a       ! not        ~ complement   = == (Equals)  # !=
  //   < > l(<=) g(>=)  a && o || (both / either AsInt non-zero: 2.5 && 1 is 1)
  //   & | ^ (ints)     L << R >> (low 5 bits of b;
  //   R on a map removes key b from it and target shares the map)
  //   + AddAssign      - (maps: difference; doubles; ints; otherwise a copy
  //   of a; unary: negation, an int for anything not a double)
  //   * (string * int repeats; doubles; ints; maps: intersection; else none)
  //   / (doubles when |divisor| > 0.001; ints when divisor != 0; else none)
  //   % (ints; divisor 0: none)   [ the element a[b] (copy, or null)
  // Int arithmetic wraps; INT_MIN / -1 is INT_MIN, INT_MIN % -1 is 0.
  static bool Calculate(char op, TagVar& target, const TagVar& a, const TagVar* b);
  // The int-and-int steps of Calculate, inline for the run loop: + - * and
  // the six comparisons when both operands are ints and the target is a
  // writable non-map. Anything else returns false having written nothing;
  // the caller then calls Calculate, which gives the same results.
  static bool CalculateInts(char op, TagVar& t, const TagVar& a, const TagVar& b) {
    if (((a.type_ ^ kInt) | (b.type_ ^ kInt)) != 0 || t.isConst_ || t.type_ == kMap) return false;
    const uint32_t x = static_cast<uint32_t>(a.int_), y = static_cast<uint32_t>(b.int_);
    int32_t r;
    switch (op) {
      case kCalcAdd: r = static_cast<int32_t>(x + y); break;
      case kCalcSub: r = static_cast<int32_t>(x - y); break;
      case kCalcMul: r = static_cast<int32_t>(x * y); break;
      case kCalcLess: r = a.int_ < b.int_; break;
      case kCalcGreater: r = a.int_ > b.int_; break;
      case kCalcLessEq: r = a.int_ <= b.int_; break;
      case kCalcGreaterEq: r = a.int_ >= b.int_; break;
      case kCalcEq: r = a.int_ == b.int_; break;
      case kCalcNotEq: r = a.int_ != b.int_; break;
      default: return false;
    }
    t.type_ = kInt;
    t.int_ = r;
    return true;
  }

  // ---- map access ----
  // A copy of the element under key into out (Assign), or null when this is
  // not a map or has no such key. Never creates. Safe on a shared map.
  void GetItem(const TagVar& key, TagVar& out) const;
  // The element under key, created as null when absent. A const value gives
  // ConstNull(); a value that is not a map (or whose map is gone) first
  // becomes a new empty map. The reference stays valid until the next insert
  // or removal on that map, or its freeing: when the map may be used by
  // another line, hold TagMapObject::Instance().LockMap(handle) for as long
  // as the reference is used.
  TagVar& Item(const TagVar& key);
  // Item(key).Assign(value) under the map's lock. Ignored when const.
  void SetItem(const TagVar& key, const TagVar& value);
  // out.Assign(Item(key)) under the map's lock: the element, created when
  // absent, copied into out (as a result reference reads an element).
  // Writes nothing into out when this value is const.
  void LoadItem(const TagVar& key, TagVar& out);
  // Removes the element under key (a map element is released first): 1 when
  // removed, 0 when absent or this is not a map.
  int RemoveItem(const TagVar& key);
  // The i-th entry in iteration order (see tagmap.h): returns i, -1 when not
  // a map (or not registered), -2 past the end.
  int EntryAt(int32_t i, TagVar& keyOut, TagVar& valueOut) const;
  // Key listing: the count, or 0 (list untouched) when not a map.
  int Keys(std::vector<TagVarP>& out) const;

  // Names the body of a function value for ToText ("function %s"); set once
  // by the script instance code. Without it the name is empty. It may run
  // under a map's lock, so it must take no lock of its own.
  using FunctionNameFn = std::string (*)(const TagTelBasic*);
  static void SetFunctionNameHook(FunctionNameFn fn);

  // Number texts independent of the C locale: "%d", "%f" (six decimals) and
  // the trimmed form of ToText.
  static void AppendInt(std::string& out, int32_t v);
  static void AppendDouble(std::string& out, double v, bool trim);
  // Counts, per thread, the values that became a map: a function body whose
  // call left it unchanged holds no map to release on return.
  static uint32_t MapsMadeOnThread() { return mapsMade_; }
  // The leading number of a text, as AsInt and AsDouble read a string.
  static int32_t ParseInt(std::string_view s);
  static double ParseDouble(std::string_view s);

 private:
  friend class TagMapObject;
  friend class TagMapItem;
  void AssignGeneral(const TagVar& src);
  TagVar& SetIntSlow(int32_t v);
  TagVar& SetDoubleSlow(double v);
  int32_t AsIntSlow() const;
  double AsDoubleSlow() const;
  // Ensures room for n text bytes plus the NUL; keeps the first `keep` bytes.
  bool Reserve(size_t n, size_t keep);
  // Writes the string a + b (either may point into this value's buffer).
  bool SetConcat(const char* pa, size_t na, const char* pb, size_t nb);
  bool SetRepeat(const char* p, size_t n, int32_t times);
  // Writes n bytes as this value's string (p may point into the buffer);
  // counts and const flag are the caller's business.
  bool WriteBytes(const char* p, size_t n);
  // Copies type and value of src without touching reference counts.
  void CopyValueNoRef(const TagVar& src);
  static void AddCore(TagVar& t, const TagVar& a, const TagVar& b, bool acquire);
  // Makes t the map h; acquire adds the reference that an assignment would.
  static void PutMap(TagVar& t, int32_t h, bool acquire);
  static void ReleaseMap(int32_t h);
  static inline thread_local uint32_t mapsMade_ = 0;

  std::string name_;
  char* text_ = nullptr;  // nullptr: the empty text
  double dbl_ = 0;
  TagTelBasic* fn_ = nullptr;
  int32_t int_ = 0;
  // Apart from int_: copies of both would be merged into one wide load, which
  // cannot take a narrow store of int_ just made (a stall per copy).
  uint32_t cap_ = 0;  // bytes allocated at text_, NUL included
  int32_t handle_ = 0;
  int8_t type_ = kNull;
  bool isConst_ = false;
};

// One entry of a key listing: the key kind (2 integer, 1 string, 3 double,
// 4 map) and a copy of the key, so the listing stays valid while other lines
// change the map.
struct TagVarP {
  int kind = 2;
  int32_t intKey = 0;  // integer keys and the handle of map keys
  double dblKey = 0;
  std::string strKey;
  // The key as a value, as EntryAt gives it (a map key as its handle, an int).
  void ToVar(TagVar& out) const;
};
