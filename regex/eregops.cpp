#include "regex/eregops.h"

#include <map>
#include <string>
#include <vector>

#include "engine/argoper.h"
#include "engine/opfactory.h"
#include "engine/tagmap.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "regex/ereg.h"

namespace {

// A value's text up to its first zero byte, as the operations read it.
std::string_view CText(const TagVar& v) { return std::string_view(v.Text()); }

// The flag that ends a runaway search when the line is stopped.
const std::atomic<uint8_t>* InterruptOf(TagTelBasic* root) {
  return root && root->callObject ? &root->callObject->interrupted.Raw() : nullptr;
}

// Stores text under the int key of a map variable (made a map first).
void StoreUnder(TagVar& target, int key, const std::string& text) {
  TagVar k = TagVar::Int(key);
  TagVar v = TagVar::Str(text);
  target.SetItem(k, v);
}

// "Ereg(" text, start, pattern, groups.
class TagEreg : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar &subject = Arg(0), &pattern = Arg(2), &groups = Arg(3);
    if (!subject.IsString() || !pattern.IsString()) return 0;
    std::map<int, std::string> found;
    int r = EregMatch(CText(subject), Arg(1).AsInt(), CText(pattern), groups.IsConst() ? nullptr : &found,
                      InterruptOf(root_));
    for (const auto& [i, s] : found) StoreUnder(groups, i, s);
    return r;
  }
};

// "EregRepl(" text, pattern, replacement, count.
class TagEregRepl : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar &subject = Arg(0), &pattern = Arg(1);
    if (!subject.IsString() || !pattern.IsString()) return 0;
    std::string out;
    // The template is the replacement's string buffer whatever its type.
    int r = EregReplace(CText(subject), CText(pattern), std::string_view(Arg(2).Text()), Arg(3).AsInt(), &out,
                        InterruptOf(root_));
    if (r == 1) subject.SetString(out);
    return r;
  }
};

// "EregSplit(" text, pattern, pieces.
class TagEregSplit : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar &subject = Arg(0), &pattern = Arg(1), &pieces = Arg(2);
    if (!subject.IsString() || !pattern.IsString() || pieces.IsConst()) return 0;
    std::vector<std::string> parts;
    int n = EregSplit(CText(subject), CText(pattern), &parts, InterruptOf(root_));
    if (n <= 0) return 0;
    for (size_t i = 0; i < parts.size(); ++i) StoreUnder(pieces, static_cast<int>(i), parts[i]);
    return n;
  }
};

}  // namespace

const TagOpTable& RegexOperations() {
  static const TagOpTable entries = {
      {KeywordId::Ereg, MakeLineOper<TagEreg>},
      {KeywordId::EregRepl, MakeLineOper<TagEregRepl>},
      {KeywordId::EregSplit, MakeLineOper<TagEregSplit>},
  };
  return entries;
}
