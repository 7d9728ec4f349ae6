// The ACD operations: a caller's line queues its message record in a named
// group; serving lines take over the group idle the longest and read, take,
// change or clear its items. All work on the line's message record.
#include <string>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "services/acdlist.h"
#include "services/lineslots.h"

namespace {

class TagAcdOper : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;

 protected:
  TagMsgFields& Record() {
    if (!record_) record_ = &MsgSlotOf(Root()).record;
    return *record_;
  }

 private:
  TagMsgFields* record_ = nullptr;
};

class TagAcdListSend : public TagAcdOper {
 public:
  using TagAcdOper::TagAcdOper;
  int Execute() override {
    TagMsgFields& r = Record();
    r.SetFieldCount(ArgInt(Arg(1)));
    return GlobalAcdList().Send(ArgText(Arg(0)), r);
  }
};

class TagAcdListNum : public TagAcdOper {
 public:
  using TagAcdOper::TagAcdOper;
  int Execute() override { return GlobalAcdList().Num(ArgText(Arg(0))); }
};

class TagAcdListRead : public TagAcdOper {
 public:
  using TagAcdOper::TagAcdOper;
  int Execute() override {
    TagMsgFields& r = Record();
    return GlobalAcdList().Read(Root().lineNo, r) ? r.FieldCount() : 0;
  }
};

class TagAcdListRecv : public TagAcdOper {
 public:
  using TagAcdOper::TagAcdOper;
  int Execute() override {
    TagMsgFields& r = Record();
    return GlobalAcdList().Recv(Root().lineNo, ArgInt(Arg(0)), Arg(1), r) ? r.FieldCount() : 0;
  }
};

class TagAcdListClear : public TagAcdOper {
 public:
  using TagAcdOper::TagAcdOper;
  int Execute() override { return GlobalAcdList().Clear(ArgInt(Arg(0)), Arg(1)); }
};

class TagAcdListWrite : public TagAcdOper {
 public:
  using TagAcdOper::TagAcdOper;
  int Execute() override { return GlobalAcdList().Write(ArgInt(Arg(0)), Arg(1), ArgInt(Arg(2)), Arg(3)); }
};

}  // namespace

const TagOpTable& AcdOperations() {
  static const TagOpTable entries = {
      {KeywordId::AcdListSend, MakeLineOper<TagAcdListSend>},   {KeywordId::AcdListNum, MakeLineOper<TagAcdListNum>},
      {KeywordId::AcdListRead, MakeLineOper<TagAcdListRead>},   {KeywordId::AcdListRecv, MakeLineOper<TagAcdListRecv>},
      {KeywordId::AcdListClear, MakeLineOper<TagAcdListClear>}, {KeywordId::AcdListWrite, MakeLineOper<TagAcdListWrite>},
  };
  return entries;
}
