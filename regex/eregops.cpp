#include "regex/eregops.h"

#include <map>
#include <string>
#include <vector>

#include "engine/opfactory.h"
#include "engine/oper.h"
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
  return root && root->callObject ? &root->callObject->interrupted : nullptr;
}

// Stores text under the int key of a map variable (made a map first).
void StoreUnder(TagVar& target, int key, const std::string& text) {
  TagVar k = TagVar::Int(key);
  TagVar v = TagVar::Str(text);
  target.SetItem(k, v);
}

class TagEreg : public TagOper {
 public:
  TagEreg(TagTelBasic* root, TagVar* text, TagVar* start, TagVar* pattern, TagVar* groups)
      : root_(root), text_(text), start_(start), pattern_(pattern), groups_(groups) {}
  int Execute() override {
    if (!text_->IsString() || !pattern_->IsString()) return 0;
    std::map<int, std::string> found;
    int r = EregMatch(CText(*text_), start_->AsInt(), CText(*pattern_), groups_->IsConst() ? nullptr : &found,
                      InterruptOf(root_));
    for (const auto& [i, s] : found) StoreUnder(*groups_, i, s);
    return r;
  }

 private:
  TagTelBasic* root_;
  TagVar *text_, *start_, *pattern_, *groups_;
};

class TagEregRepl : public TagOper {
 public:
  TagEregRepl(TagTelBasic* root, TagVar* text, TagVar* pattern, TagVar* replacement, TagVar* count)
      : root_(root), text_(text), pattern_(pattern), replacement_(replacement), count_(count) {}
  int Execute() override {
    if (!text_->IsString() || !pattern_->IsString()) return 0;
    std::string out;
    // The template is the replacement's string buffer whatever its type.
    int r = EregReplace(CText(*text_), CText(*pattern_), std::string_view(replacement_->Text()), count_->AsInt(),
                        &out, InterruptOf(root_));
    if (r == 1) text_->SetString(out);
    return r;
  }

 private:
  TagTelBasic* root_;
  TagVar *text_, *pattern_, *replacement_, *count_;
};

class TagEregSplit : public TagOper {
 public:
  TagEregSplit(TagTelBasic* root, TagVar* text, TagVar* pattern, TagVar* pieces)
      : root_(root), text_(text), pattern_(pattern), pieces_(pieces) {}
  int Execute() override {
    if (!text_->IsString() || !pattern_->IsString() || pieces_->IsConst()) return 0;
    std::vector<std::string> parts;
    int n = EregSplit(CText(*text_), CText(*pattern_), &parts, InterruptOf(root_));
    if (n <= 0) return 0;
    for (size_t i = 0; i < parts.size(); ++i) StoreUnder(*pieces_, static_cast<int>(i), parts[i]);
    return n;
  }

 private:
  TagTelBasic* root_;
  TagVar *text_, *pattern_, *pieces_;
};

TagOper* MakeEreg(const TagOpArgs& a) {
  return new TagEreg(a.root, a.args[0], a.args[1], a.args[2], a.args[3]);
}
TagOper* MakeEregRepl(const TagOpArgs& a) {
  return new TagEregRepl(a.root, a.args[0], a.args[1], a.args[2], a.args[3]);
}
TagOper* MakeEregSplit(const TagOpArgs& a) { return new TagEregSplit(a.root, a.args[0], a.args[1], a.args[2]); }

}  // namespace

const TagOpTable& RegexOperations() {
  static const TagOpTable entries = {
      {KeywordId::Ereg, MakeEreg},
      {KeywordId::EregRepl, MakeEregRepl},
      {KeywordId::EregSplit, MakeEregSplit},
  };
  return entries;
}
