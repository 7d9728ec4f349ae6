// Fuzz target: number texts and a small program of value and map operations
// read from the input bytes, so reference counts, aliasing of operands and
// the map registry are driven in every order.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/tagmap.h"
#include "engine/tagvar.h"

namespace fuzz_values {

struct Reader {
  const uint8_t* p;
  size_t n;
  bool More() const { return n > 0; }
  uint8_t Byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  template <class T>
  T Raw() {
    T v{};
    size_t k = n < sizeof v ? n : sizeof v;
    std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
  }
  std::string Chunk() {
    size_t len = Byte() % 24;
    if (len > n) len = n;
    std::string s(reinterpret_cast<const char*>(p), len);
    p += len;
    n -= len;
    return s;
  }
};

inline void Check(bool ok) {
  if (!ok) std::abort();
}

inline int Run(const uint8_t* data, size_t size) {
  static const char kOps[] = {0,   '!', '~', '=', '#', '<', '>', 'l', 'g', 'a', 'o', '&',
                              '|', '^', 'L', 'R', '%', '/', '*', '+', '-', '['};
  TagVar::SetTextLimitForTest(1 << 16);
  TagVar v[4];
  Reader r{data, size};
  int steps = 0;
  while (r.More() && ++steps < 400) {
    uint8_t op = r.Byte();
    TagVar& x = v[r.Byte() % 4];
    TagVar& y = v[r.Byte() % 4];
    TagVar& z = v[r.Byte() % 4];
    switch (op % 16) {
      case 0: x.SetInt(r.Raw<int32_t>()); break;
      case 1: x.SetDouble(r.Raw<double>()); break;
      case 2: {
        std::string s = r.Chunk();
        x.SetBytes(s.data(), s.size());
        break;
      }
      case 3: TagVar::Calculate(kOps[r.Byte() % sizeof kOps], x, y, &z); break;
      case 4: TagVar::Calculate(kOps[r.Byte() % sizeof kOps], x, y, nullptr); break;
      case 5: x.SetItem(y, z); break;
      case 6: x.GetItem(y, z); break;
      case 7: x.RemoveItem(y); break;
      case 8: {
        TagVar& e = x.Item(y);
        auto lock = TagMapObject::Instance().LockMap(x.MapHandle());
        e.Assign(z);
        break;
      }
      case 9: {
        std::string t, tn, tv;
        x.ToText(t, r.Byte() & 1);
        x.TypeName(tn, tv);
        if (x.IsString()) Check(size_t(x.Length()) == x.Bytes().size());
        break;
      }
      case 10: x.EntryAt(r.Byte() % 8, y, z); break;
      case 11: x.Assign(y); break;
      case 12: {
        std::string s = r.Chunk();
        int32_t i = TagVar::ParseInt(s);
        double d = TagVar::ParseDouble(s);
        std::string back;
        TagVar::AppendInt(back, i);
        Check(TagVar::ParseInt(back) == i);
        back.clear();
        TagVar::AppendDouble(back, d, true);
        (void)d;
        break;
      }
      case 13: {
        std::vector<TagVarP> keys;
        x.Keys(keys);
        if (!keys.empty()) keys[r.Byte() % keys.size()].ToVar(y);
        break;
      }
      case 14: TagVar::AddAssign(x, y, z); break;
      default: x.SetNull(); break;
    }
  }
  for (auto& t : v) t.SetNull();
  TagVar::SetTextLimitForTest(0);
  return 0;
}

}  // namespace fuzz_values

#ifndef RODIZ_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz_values::Run(data, size); }
#endif
