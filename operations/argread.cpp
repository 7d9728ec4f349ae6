#include "operations/argread.h"

#include <array>

#include "engine/opfactory.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"

int ArgInt(const TagVar& v) { return v.AsInt(); }

int ArgStored(const TagVar& v) { return v.IntValue(); }

std::string ArgText(const TagVar& v) { return v.Text(); }

std::string ArgPrinted(const TagVar& v) { return v.ToText(false); }

TagKxCall* TagLineOper::Call() const { return root_ ? root_->callObject : nullptr; }

int TagCallOper::Execute() {
  TagKxCall* call = Call();
  if (!call) return -1;
  return Run(*call);
}

const TagOpEntry* FindIvrOperation(KeywordId id) {
  static const std::array<const TagOpEntry*, kKeywordCount> table = [] {
    std::array<const TagOpEntry*, kKeywordCount> t{};
    for (auto* family : {&CallCtlOperations(), &KeyOperations(), &VoiceOperations(), &VoiceCfgOperations(),
                         &PlayNumberOperations()})
      for (const TagOpEntry& e : *family) t[static_cast<size_t>(e.id)] = &e;
    return t;
  }();
  size_t i = static_cast<size_t>(id);
  return i < table.size() ? table[i] : nullptr;
}

namespace {

TagOper* MakeIvrOperation(const TagOpArgs& a) {
  const TagOpEntry* e = FindIvrOperation(static_cast<KeywordId>(a.keyword.index));
  return e ? e->make(a.args, a.root, a.lineType) : nullptr;
}

}  // namespace

void RegisterIvrFamily(TagOpFactory& factory, const std::vector<TagOpEntry>& family) {
  for (const TagOpEntry& e : family) factory.Register(e.id, MakeIvrOperation);
}
