// Fuzz target over the statement scanning routines and keyword recognition.
// Built and run by scripts/fuzz (the fuzz preset).
// The unit tests include this file with RODIZ_FUZZ_NO_MAIN and run the same
// checks over a fixed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/compilediag.h"
#include "engine/keyword.h"
#include "engine/scan.h"

namespace fuzz_scan {

// Reports go nowhere: a fuzzer must not write files.
class NullDiag : public TagCompileDiag {
 public:
  NullDiag() : TagCompileDiag(0, false, true) {}
  int entries = 0;

 protected:
  void WriteEntry(const std::string&) override { ++entries; }
};

inline void Check(bool ok) {
  if (!ok) std::abort();
}

inline void ExerciseScan(std::string_view text) {
  NullDiag diag;

  size_t pos = 0;
  if (const RecKeyword* rec = KeywordDict().ParseHead(text, pos)) {
    Check(pos <= text.size());
    Check(rec->index >= 0 && rec->index < kKeywordCount);
  }
  if (const RecKeyword* rec = KeywordDict().Find(text)) Check(rec->name == text);

  long start = SkipLeadingComments(diag, text, 1);
  Check(start == kNoStatement || start == kStrayCommentEnd || (start >= 0 && static_cast<size_t>(start) < text.size()));

  for (bool cut : {true, false}) {
    std::string s(text), comment;
    int before = diag.entries;
    int len = StripComments(diag, s, comment, 2, cut);
    Check(len == -1 ? diag.entries == before + 1 : len == static_cast<int>(comment.size()));
    Check(s.size() <= text.size());
  }

  size_t offset = 0;
  std::string name, index;
  int shape = ClassifyStatement(text, offset, name, index);
  Check(shape >= kShapeIncDec && shape <= kShapeCallAssign);
  if (shape == kShapeCallAssign) Check(offset <= text.size() && !name.empty());

  char op = 0;
  if (ParseIncDec(diag, 3, text, name, op)) Check((op == '+' || op == '-') && IsValidName(name));

  int target = SplitAssignTarget(text, name, index);
  Check(target >= -2);
  if (target > 0) Check(static_cast<size_t>(target) == name.size() && IsValidName(name));
  if (target < 0) Check(name.empty() && index.empty());

  std::string rest;
  if (SplitCallName(text, name, rest) == 0) Check(rest.size() < text.size());

  const struct {
    char sep, term;
  } splits[] = {{',', ')'}, {';', kEndOfText}, {';', ';'}, {'+', ';'}, {' ', kEndOfText}};
  for (const auto& sp : splits) {
    std::vector<std::string> args;
    int n = SplitArgs(text, kMaxArgs, args, sp.sep, sp.term);
    Check(n >= -5 && n <= kMaxArgs);
    if (n >= 0) {
      Check(args.size() == static_cast<size_t>(n));
      for (const std::string& a : args) Check(!IsBlankText(a) && a.size() <= text.size());
    }
  }

  TagOperand a, b;
  std::string message;
  int r = ParseSimpleExpression(a, op, b, text, message);
  Check(r >= -5 && r <= 0);
  Check((r == 0) == message.empty());
  if (r == 0) {
    Check(a.kind >= TagOperand::kEmpty && a.kind <= TagOperand::kReal);
    Check(b.kind >= TagOperand::kEmpty && b.kind <= TagOperand::kReal);
    Check(b.kind == TagOperand::kEmpty || op != 0);
  }

  std::string t(text);
  TrimRight(t);
  std::string t2 = t;
  TrimRight(t2);
  Check(t == t2);
  t.assign(text);
  RemoveBlanks(t);
  Check(t.size() <= text.size());
  Check(IsBlankText(text) == (SkipBlanksAndEquals(text).empty() && text.find('=') == std::string_view::npos));
  IsRestBlank(text);
}

}  // namespace fuzz_scan

#ifndef RODIZ_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_scan::ExerciseScan(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
#endif
