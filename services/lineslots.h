#pragma once
// The messaging state every line's main script instance keeps: its message
// record, its 64 queues and the private queue its inter-line calls are
// answered in, and its shared values. Made at first use, freed with the
// instance after its operations.
#include <array>
#include <cstdint>
#include <memory>

#include "engine/lineservices.h"
#include "services/msgqueue.h"
#include "services/sharemem.h"

struct TagLineMsgSlot : TagLineService {
  static constexpr int kReplyQueue = kMsgQueueCount;
  // The record is the line thread's own; the queues are shared.
  TagMsgFields record;
  std::array<TagMsgList, kMsgQueueCount + 1> queues;
  // The tag of the line's last inter-line call (line thread only).
  uint32_t lastCallTag = 0;
};

struct TagLineShareSlot : TagLineService {
  TagShareMem store;
};

class TagTelBasic;

// A queue or store addressed by (line, queue) the way the operations do,
// with the line's instance held for as long as the reference is used.
struct TagQueueRef {
  std::shared_ptr<TagTelBasic> holder;
  TagMsgList* queue = nullptr;
  // -1 queue outside 0..63, -2 line past the last, -3 no script instance.
  int error = 0;
};
// A negative line gives the global queue of that number.
TagQueueRef AddressQueue(int line, int queue);
// The private reply queue of a line (0..count-1): error -2 / -3 as above.
TagQueueRef AddressReplyQueue(int line);

struct TagShareRef {
  std::shared_ptr<TagTelBasic> holder;
  TagShareMem* store = nullptr;
  // -2 line past the last or without a script instance.
  int error = 0;
};
// A negative line gives the global store.
TagShareRef AddressShareMem(int line);

TagLineMsgSlot& MsgSlotOf(TagTelBasic& root);
TagShareMem& ShareMemOf(TagTelBasic& root);
