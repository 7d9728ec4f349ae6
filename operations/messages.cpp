// The message operations: a script composes a message in its line's record,
// sends it into a queue of any line or a process-wide queue, and takes,
// counts, reads, changes, clears and orders the messages of a queue.
#include <string>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "services/lineslots.h"

namespace {

// A message operation: the line's record and the queue its (line, queue)
// arguments address.
class TagMsgOper : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;

 protected:
  TagMsgFields& Record() { return Slot().record; }
  TagLineMsgSlot& Slot() {
    if (!slot_) slot_ = &MsgSlotOf(Root());
    return *slot_;
  }
  // Arguments 0 and 1.
  TagQueueRef Queue() const { return AddressQueue(ArgInt(Arg(0)), ArgInt(Arg(1))); }
  // The record's sender, key, first field and count into the outputs at
  // those argument indexes (a negative index skips one), then 1 into got.
  void Outputs(int sender, int key, int field0, int count, int got) {
    const TagMsgFields& r = Record();
    if (sender >= 0) Arg(static_cast<size_t>(sender)).SetInt(r.sender);
    if (key >= 0) Arg(static_cast<size_t>(key)).Assign(r.key);
    if (field0 >= 0) Arg(static_cast<size_t>(field0)).Assign(r.Field(0));
    if (count >= 0) Arg(static_cast<size_t>(count)).SetInt(r.FieldCount());
    if (got >= 0) Arg(static_cast<size_t>(got)).SetInt(1);
  }

 private:
  TagLineMsgSlot* slot_ = nullptr;
};

class TagSendMsg : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagMsgFields& r = Record();
    r.sender = Root().lineNo;
    r.key.Assign(Arg(2));
    r.SetFieldCount(ArgInt(Arg(3)));
    TagQueueRef q = Queue();
    return q.queue ? q.queue->Send(r) : q.error;
  }
};

// The four receives differ in how they choose and where their outputs are.
enum class RecvKind { kAny, kType, kField, kTwoFields };

template <RecvKind kKind>
class TagRecvMsg : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    // Outputs: sender, key (none for the key receive), first field, count, got.
    constexpr int kFirst = kKind == RecvKind::kAny ? 2 : kKind == RecvKind::kType ? 3 : kKind == RecvKind::kField ? 4 : 7;
    constexpr bool kHasKey = kKind != RecvKind::kType;
    const int got = kFirst + (kHasKey ? 4 : 3);
    Arg(static_cast<size_t>(got)).SetInt(0);
    TagQueueRef q = Queue();
    if (!q.queue) return q.error;
    TagMsgFields& r = Record();
    bool taken = false;
    switch (kKind) {
      case RecvKind::kAny:
        taken = q.queue->Recv(r);
        break;
      case RecvKind::kType:
        taken = q.queue->RecvForType(Arg(2), r);
        break;
      case RecvKind::kField:
        taken = q.queue->RecvForField(ArgInt(Arg(2)), Arg(3), r);
        break;
      case RecvKind::kTwoFields:
        taken = q.queue->RecvFor2Field(ArgInt(Arg(2)), Arg(3), ArgInt(Arg(4)) != 0, ArgInt(Arg(5)), Arg(6), r);
        break;
    }
    if (!taken) return 0;
    if (kHasKey)
      Outputs(kFirst, kFirst + 1, kFirst + 2, kFirst + 3, got);
    else
      Outputs(kFirst, -1, kFirst + 1, kFirst + 2, got);
    return 1;
  }
};

class TagClearMsg : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->Clear() : q.error;
  }
};

class TagClearMsgFrom : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->ClearFrom(ArgInt(Arg(2))) : q.error;
  }
};

class TagClearMsgForType : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->ClearForType(Arg(2)) : q.error;
  }
};

class TagClearMsgForField : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->ClearForField(ArgInt(Arg(2)), Arg(3)) : q.error;
  }
};

class TagGetMsgNum : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    if (!q.queue) return q.error;
    const int n = q.queue->Count();
    Arg(2).SetInt(n);
    return n;
  }
};

class TagGetMsgNumForType : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    if (!q.queue) return q.error;
    const int n = q.queue->CountForType(Arg(2));
    Arg(3).SetInt(n);
    return n;
  }
};

class TagGetMsgNumForField : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    if (!q.queue) return q.error;
    const int n = q.queue->CountForField(ArgInt(Arg(2)), Arg(3));
    Arg(4).SetInt(n);
    return n;
  }
};

class TagCountMsg : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->CountByValue(ArgInt(Arg(2)), Arg(3)) : q.error;
  }
};

class TagReadMsg : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    if (!q.queue) return q.error;
    if (!q.queue->Read(ArgInt(Arg(2)), Arg(3), Record())) return 0;
    Outputs(4, 5, -1, -1, -1);
    return 1;
  }
};

class TagReadMsgFor : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    if (!q.queue) return q.error;
    std::string listed;
    const int n = q.queue->ReadFor(ArgInt(Arg(2)), Arg(3), ArgInt(Arg(4)), listed);
    if (n > 0) Arg(5).SetString(listed);
    return n;
  }
};

class TagWriteMsg : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->Write(ArgInt(Arg(2)), Arg(3), ArgInt(Arg(4)), Arg(5)) : q.error;
  }
};

class TagSetMsgOrderBy : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    TagQueueRef q = Queue();
    return q.queue ? q.queue->SetMsgOrderBy(ArgInt(Arg(2)), ArgInt(Arg(3))) : q.error;
  }
};

class TagSetMsgField : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override { return Record().SetField(ArgInt(Arg(0)), Arg(1)) ? 0 : -1; }
};

class TagGetMsgField : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override { return Record().GetField(ArgInt(Arg(0)), Arg(1)) ? 0 : -1; }
};

// A value operation: the statement's value is a copy of the field.
class TagGetMsgFieldVal : public TagMsgOper {
 public:
  using TagMsgOper::TagMsgOper;
  int Execute() override {
    const int i = ArgInt(Arg(0));
    if (i < 0 || i >= TagMsgFields::kMaxFields) {
      StoreResult(TagVar());
    } else {
      StoreResult(Record().Field(i));
    }
    return 0;
  }
};

}  // namespace

const TagOpTable& MessageOperations() {
  static const TagOpTable entries = {
      {KeywordId::SendMsg, MakeLineOper<TagSendMsg>},
      {KeywordId::RecvMsg, MakeLineOper<TagRecvMsg<RecvKind::kAny>>},
      {KeywordId::RecvMsgForType, MakeLineOper<TagRecvMsg<RecvKind::kType>>},
      {KeywordId::RecvMsgForField, MakeLineOper<TagRecvMsg<RecvKind::kField>>},
      {KeywordId::RecvMsgFor2Field, MakeLineOper<TagRecvMsg<RecvKind::kTwoFields>>},
      {KeywordId::ClearMsg, MakeLineOper<TagClearMsg>},
      {KeywordId::ClearMsgFrom, MakeLineOper<TagClearMsgFrom>},
      {KeywordId::ClearMsgForType, MakeLineOper<TagClearMsgForType>},
      {KeywordId::ClearMsgForField, MakeLineOper<TagClearMsgForField>},
      {KeywordId::GetMsgNum, MakeLineOper<TagGetMsgNum>},
      {KeywordId::GetMsgNumForType, MakeLineOper<TagGetMsgNumForType>},
      {KeywordId::GetMsgNumForField, MakeLineOper<TagGetMsgNumForField>},
      {KeywordId::CountMsg, MakeLineOper<TagCountMsg>},
      {KeywordId::ReadMsg, MakeLineOper<TagReadMsg>},
      {KeywordId::ReadMsgFor, MakeLineOper<TagReadMsgFor>},
      {KeywordId::WriteMsg, MakeLineOper<TagWriteMsg>},
      {KeywordId::SetMsgOrderBy, MakeLineOper<TagSetMsgOrderBy>},
      {KeywordId::SetMsgField, MakeLineOper<TagSetMsgField>},
      {KeywordId::GetMsgField, MakeLineOper<TagGetMsgField>},
      {KeywordId::GetMsgFieldVal, MakeLineOper<TagGetMsgFieldVal>},
  };
  return entries;
}
