// Line linking: connect the line's voice path with other lines, listen to
// them, undo the links and list them. The call object does the switching.
#include <vector>

#include "engine/kxcall.h"
#include "operations/argread.h"

namespace {

class TagLinkTo : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.LinkTo(ArgInt(Arg(0)), ArgInt(Arg(1))); }
};

class TagListenTo : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ListenTo(ArgInt(Arg(0)), ArgInt(Arg(1))); }
};

class TagUnlinkTo : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.UnlinkTo(ArgInt(Arg(0)), ArgInt(Arg(1))); }
};

class TagUnlinkAll : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.UnlinkAll(); }
};

// Three parallel maps keyed 0..n-1; keys past the count are left alone.
class TagGetLinkList : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::vector<int> lines, listen, values;
    int r = c.GetLinkList(lines, listen, values);
    for (size_t i = 0; i < lines.size(); ++i) {
      TagVar key = TagVar::Int(static_cast<int32_t>(i));
      Arg(0).SetItem(key, TagVar::Int(lines[i]));
      Arg(1).SetItem(key, TagVar::Int(i < listen.size() ? listen[i] : 0));
      Arg(2).SetItem(key, TagVar::Int(i < values.size() ? values[i] : 0));
    }
    return r;
  }
};

}  // namespace

const TagOpTable& LinkingOperations() {
  static const TagOpTable entries = {
      {KeywordId::LinkTo, MakeLineOper<TagLinkTo>},
      {KeywordId::ListenTo, MakeLineOper<TagListenTo>},
      {KeywordId::UnlinkTo, MakeLineOper<TagUnlinkTo>},
      {KeywordId::UnlinkAll, MakeLineOper<TagUnlinkAll>},
      {KeywordId::GetLinkList, MakeLineOper<TagGetLinkList>},
  };
  return entries;
}
