#include "services/lineslots.h"

#include "engine/telbasic.h"
#include "services/linedir.h"

TagLineMsgSlot& MsgSlotOf(TagTelBasic& root) { return root.Services().Get<TagLineMsgSlot>(); }

TagShareMem& ShareMemOf(TagTelBasic& root) { return root.Services().Get<TagLineShareSlot>().store; }

TagQueueRef AddressQueue(int line, int queue) {
  TagQueueRef ref;
  if (queue < 0 || queue >= kMsgQueueCount) {
    ref.error = -1;
  } else if (line >= DirLineCount()) {
    ref.error = -2;
  } else if (line < 0) {
    ref.queue = GlobalMsgQueue(queue);
  } else if ((ref.holder = DirInstance(line))) {
    ref.queue = &MsgSlotOf(*ref.holder).queues[static_cast<size_t>(queue)];
  } else {
    ref.error = -3;
  }
  return ref;
}

TagQueueRef AddressReplyQueue(int line) {
  TagQueueRef ref;
  if (line < 0 || line >= DirLineCount()) {
    ref.error = -2;
  } else if ((ref.holder = DirInstance(line))) {
    ref.queue = &MsgSlotOf(*ref.holder).queues[TagLineMsgSlot::kReplyQueue];
  } else {
    ref.error = -3;
  }
  return ref;
}

TagShareRef AddressShareMem(int line) {
  TagShareRef ref;
  if (line >= DirLineCount()) {
    ref.error = -2;
  } else if (line < 0) {
    ref.store = &GlobalShareMem();
  } else if ((ref.holder = DirInstance(line))) {
    ref.store = &ShareMemOf(*ref.holder);
  } else {
    ref.error = -2;
  }
  return ref;
}
