#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/keyword_list.h"
#include "engine/opkind.h"

// One keyword of the script language. The table is constant: name length and
// index are worked out when the program is compiled.
struct RecKeyword {
  std::string_view name;  // as written in scripts: "Play(", "break;", "const"
  OpKind kind;            // copied into every operation built from it
  int group;              // family 0..9, informational
  int argCount;           // exact number of arguments; -1: no argument list
  int nameLen;
  int16_t index;          // position in the table; the compiler dispatches on it
};

// Keyword indexes by name, for dispatching: KeywordId::Play is the index of "Play(".
enum class KeywordId : int16_t {
#define RODIZ_KW_ENUM(id, name, kind, group, count) id,
  RODIZ_KEYWORDS(RODIZ_KW_ENUM)
#undef RODIZ_KW_ENUM
};

inline constexpr int kKeywordCount = 0
#define RODIZ_KW_COUNT(id, name, kind, group, count) +1
    RODIZ_KEYWORDS(RODIZ_KW_COUNT)
#undef RODIZ_KW_COUNT
    ;

// The first index of the built-in operations; below it are statement keywords.
inline constexpr int kFirstOperation = static_cast<int>(KeywordId::Type);

namespace kw_detail {
constexpr std::array<RecKeyword, kKeywordCount> MakeTable() {
  std::array<RecKeyword, kKeywordCount> t{};
  int16_t i = 0;
#define RODIZ_KW_REC(id, nm, kd, grp, cnt)                                                 \
  t[static_cast<size_t>(i)] = RecKeyword{nm, kd, grp, cnt, static_cast<int>(sizeof(nm) - 1), i}; \
  ++i;
  RODIZ_KEYWORDS(RODIZ_KW_REC)
#undef RODIZ_KW_REC
  return t;
}
}  // namespace kw_detail

inline constexpr std::array<RecKeyword, kKeywordCount> kKeywordTable = kw_detail::MakeTable();

constexpr const RecKeyword& KeywordRec(KeywordId id) { return kKeywordTable[static_cast<size_t>(id)]; }

static_assert(KeywordRec(KeywordId::Const).name == "const");

// The process-wide dictionary over the table. Built once, never changed, so
// compilers on many line threads read it without a lock.
class TagKeyword {
 public:
  TagKeyword();
  TagKeyword(const TagKeyword&) = delete;
  TagKeyword& operator=(const TagKeyword&) = delete;

  int Count() const { return kKeywordCount; }
  const RecKeyword& Record(int index) const { return kKeywordTable.at(static_cast<size_t>(index)); }

  // Recognises the keyword at the head of a statement; a "{" or "}" met before
  // the head ends ("(", ";", a quote, "<", the line end) wins over whatever
  // words came before it. On success pos is the offset just past the head
  // ("(", ";", the brace, the blank after "const" or "function"), or at the
  // quote or "<" after "#include".
  const RecKeyword* ParseHead(std::string_view text, size_t& pos) const;

  // The built-in operation (kFirstOperation and up) whose name equals text exactly.
  const RecKeyword* Find(std::string_view name) const;

 private:
  const RecKeyword* Lookup(std::string_view name) const;
  std::unordered_map<std::string_view, const RecKeyword*> byName_;
};

// The one dictionary of the process.
const TagKeyword& KeywordDict();

// The compiler's entry: the record at the head of the statement, its name
// copied into name (emptied when there is none) and pos past the head.
const RecKeyword* FindKeyword(std::string_view text, std::string& name, size_t& pos);
// The same without the name's copy.
const RecKeyword* FindKeyword(std::string_view text, size_t& pos);
