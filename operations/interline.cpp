// Inter-line calls: a script function has its body run by the script of
// another line. The caller sends the function's name and arguments into one
// of the process-wide call queues and waits for the answer in its private
// reply queue; the serving line runs its function of that name on its own
// thread and sends the result (and, when asked, the changed arguments) back.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/argoper.h"
#include "engine/call.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "platform/tick.h"
#include "services/lineslots.h"

namespace {

// At most 19 arguments travel, after the copy-back flag in field 0.
constexpr int kMaxCallArgs = TagMsgFields::kMaxFields - 1;
// A waiting caller first only yields, for a server that answers at once,
// then looks for its answer every few ms; either way a stop ends it soon.
constexpr int kReplySpins = 200;
constexpr uint32_t kReplyPollMs = 2;

class TagInterLineCall : public TagArgOper {
 public:
  // body: the script function the statement stands in; null in a main body.
  TagInterLineCall(const std::vector<TagVar*>& args, TagTelBasic* root, TagTelBasic* body)
      : TagArgOper(args, root), body_(body) {}

  int Execute() override {
    if (!body_) return -1;
    TagMsgList* server = CallQueue(ArgInt(Arg(0)));
    if (!server) return -2;
    TagTelBasic& root = Root();
    TagLineMsgSlot& slot = MsgSlotOf(root);
    TagMsgFields& r = slot.record;
    const int n = std::min(body_->paramCount, kMaxCallArgs);
    r.sender = root.lineNo;
    r.key.SetString(body_->name);
    r.SetField(0, Arg(2));
    for (int i = 0; i < n; ++i) r.SetField(i + 1, *body_->params[static_cast<size_t>(i)]);
    r.SetFieldCount(n + 1);
    // A reply carries its request's tag: one to an earlier call that timed
    // out is never taken for this call's answer.
    if (++slot.lastCallTag == 0) ++slot.lastCallTag;
    const uint32_t tag = slot.lastCallTag;
    r.callTag = tag;
    TagMsgList& replies = slot.queues[TagLineMsgSlot::kReplyQueue];
    replies.Clear();
    const int sent = server->Send(r);
    // Refused (the queue is full) or not waited for.
    if (sent == 0) return 0;
    const int seconds = ArgInt(Arg(1));
    if (seconds == 0) return 0;

    using Clock = std::chrono::steady_clock;
    // 64-bit milliseconds; a negative time-out waits without limit.
    const bool limited = seconds > 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(int64_t(seconds) * 1000);
    for (int polls = 0;; ++polls) {
      if (replies.Size() > 0 && replies.RecvTagged(tag, r)) break;
      if (Stopping(root) || (limited && Clock::now() > deadline)) {
        // Withdrawn, so no server runs it after the caller gave up.
        server->ClearFrom(root.lineNo);
        return -4;
      }
      if (polls < kReplySpins)
        std::this_thread::yield();
      else
        plat::SleepMs(kReplyPollMs);
    }
    if (r.FieldCount() < 1 || r.Field(0).AsInt() < 0) return -3;
    Arg(3).Assign(r.key);
    if (ArgInt(Arg(2)) != 0) {
      const int back = std::min(n, r.FieldCount() - 1);
      for (int i = 0; i < back; ++i) body_->params[static_cast<size_t>(i)]->Assign(r.Field(i + 1));
    }
    return sent;
  }

 private:
  static bool Stopping(const TagTelBasic& root) {
    return root.stopRequested.load() || root.lineStopping.load() || root.hardStop.load() ||
           root.QuitOrReloadPending();
  }
  TagTelBasic* body_;
};

TagOper* MakeInterLineCall(const TagOpArgs& a) {
  TagTelBasic* body = a.inst && a.inst->parent ? a.inst : nullptr;
  return new TagInterLineCall(a.args, a.root, body);
}

class TagInterLineServer : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;

  int Execute() override {
    TagMsgList* queue = CallQueue(ArgInt(Arg(0)));
    if (!queue) return -1;
    // An idle server costs one relaxed read.
    if (queue->Size() == 0) return 0;
    // The request comes into the line's message record and the reply is
    // built there, where the script sees them. What the reply needs is noted
    // first: the served function may use the record itself.
    TagMsgFields& record = MsgSlotOf(Root()).record;
    if (!queue->Recv(record)) return 0;
    const int sender = record.sender;
    const uint32_t callTag = record.callTag;
    const bool copyBack = ArgInt(record.Field(0)) != 0;
    const int n = record.FieldCount() - 1;
    int status = 0;
    TagTelBasic* body = Root().FindFunction(record.key.Text());
    if (!body) {
      status = -3;
    } else if (body->paramCount != n) {
      status = -2;
    } else {
      std::vector<std::unique_ptr<TagVar>> args;
      TagVar function;
      function.SetFunction(body);
      TagCall call(&function, &Root());
      for (int i = 0; i < n; ++i) {
        args.push_back(std::make_unique<TagVar>());
        args.back()->Assign(record.Field(i + 1));
        call.AddArg(args.back().get());
      }
      const int result = call.Execute();
      record.key.SetInt(result);
      if (copyBack) {
        for (int i = 0; i < n; ++i) record.SetField(i + 1, *args[static_cast<size_t>(i)]);
        record.SetFieldCount(n + 1);
      } else {
        record.SetFieldCount(1);
      }
      for (auto& a : args) a->SetNull();
    }
    record.sender = sender;
    record.callTag = callTag;
    record.SetField(0, TagVar::Int(status));
    if (status < 0) record.SetFieldCount(1);
    TagQueueRef dest = AddressReplyQueue(sender);
    if (!dest.queue) return dest.error;
    dest.queue->Send(record);
    return 1;
  }
};

}  // namespace

const TagOpTable& InterLineOperations() {
  static const TagOpTable entries = {
      {KeywordId::InterLineCall, MakeInterLineCall},
      {KeywordId::InterLineServer, MakeLineOper<TagInterLineServer>},
  };
  return entries;
}
