// The shared-value operations: read and change the store of any line or the
// process-wide one, and claim the first line whose value matches.
#include <memory>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "services/linedir.h"
#include "services/lineslots.h"

namespace {

// Argument 0 is the line.
class TagShareOper : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;

 protected:
  TagShareRef Store() const { return AddressShareMem(ArgInt(Arg(0))); }
};

class TagGetShareMem : public TagShareOper {
 public:
  using TagShareOper::TagShareOper;
  int Execute() override {
    TagShareRef s = Store();
    return s.store ? s.store->Get(Arg(1), Arg(2)) : s.error;
  }
};

class TagSetShareMem : public TagShareOper {
 public:
  using TagShareOper::TagShareOper;
  int Execute() override {
    TagShareRef s = Store();
    return s.store ? s.store->Set(Arg(1), Arg(2)) : s.error;
  }
};

class TagClearShareMem : public TagShareOper {
 public:
  using TagShareOper::TagShareOper;
  int Execute() override {
    TagShareRef s = Store();
    if (!s.store) return s.error;
    s.store->Clear();
    return 0;
  }
};

class TagIncShareMem : public TagShareOper {
 public:
  using TagShareOper::TagShareOper;
  int Execute() override {
    TagShareRef s = Store();
    return s.store ? s.store->Inc(Arg(1), Arg(2), Arg(3)) : s.error;
  }
};

class TagDecShareMem : public TagShareOper {
 public:
  using TagShareOper::TagShareOper;
  int Execute() override {
    TagShareRef s = Store();
    return s.store ? s.store->Dec(Arg(1), Arg(2), Arg(3)) : s.error;
  }
};

class TagAccShareMem : public TagShareOper {
 public:
  using TagShareOper::TagShareOper;
  int Execute() override {
    TagShareRef s = Store();
    return s.store ? s.store->Acc(Arg(1), Arg(2), Arg(3)) : s.error;
  }
};

// Claims the first line whose store holds `value` under the key. Two
// searches exclude each other through the global store's search lock, and
// each line's compare and set is one hold of that line's lock, so a line's
// own write in between is never lost.
class TagFindShareMem : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    auto search = GlobalShareMem().SearchLock();
    const int lines = DirLineCount();
    for (int line = 0; line < lines; ++line) {
      std::shared_ptr<TagTelBasic> inst = DirInstance(line);
      if (!inst) continue;
      if (ShareMemOf(*inst).ClaimIfEqual(Arg(0), Arg(1), Arg(2))) return line;
    }
    return -1;
  }
};

}  // namespace

const TagOpTable& ShareValueOperations() {
  static const TagOpTable entries = {
      {KeywordId::GetShareMem, MakeLineOper<TagGetShareMem>},
      {KeywordId::SetShareMem, MakeLineOper<TagSetShareMem>},
      {KeywordId::ClearShareMem, MakeLineOper<TagClearShareMem>},
      {KeywordId::IncShareMem, MakeLineOper<TagIncShareMem>},
      {KeywordId::DecShareMem, MakeLineOper<TagDecShareMem>},
      {KeywordId::AccShareMem, MakeLineOper<TagAccShareMem>},
      {KeywordId::FindShareMem, MakeLineOper<TagFindShareMem>},
  };
  return entries;
}
