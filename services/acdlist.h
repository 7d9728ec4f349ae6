#pragma once
// Automatic call distribution: work items queued in named groups, and
// serving lines that each take over the group whose last activity (a send,
// or a read or take by a serving line) lies furthest back.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "services/msgqueue.h"

class TagAcdList {
 public:
  // A millisecond tick that wraps at 2^32.
  using Clock = uint32_t (*)();
  explicit TagAcdList(Clock clock = nullptr);
  TagAcdList(const TagAcdList&) = delete;
  TagAcdList& operator=(const TagAcdList&) = delete;
  ~TagAcdList();

  // Makes the group when new; the group's number of messages afterwards
  // (unchanged when its queue refused the message).
  int Send(const std::string& group, const TagMsgFields& msg);
  // 0 for a group that does not exist.
  int Num(const std::string& group);
  // Takes over the free (or own) group idle the longest and copies its
  // oldest message: 1 copied, 0 none (or its queue was empty).
  int Read(int line, TagMsgFields& out);
  // The first group (name order) holding a match: 1, else 0.
  int Write(int mode, const TagVar& value, int j, const TagVar& newValue);
  // Takes the first field match of the groups in name order; the group
  // goes to the line, or away when emptied. 1 taken, 0 not.
  int Recv(int line, int i, const TagVar& value, TagMsgFields& out);
  // Removes the field matches of the first group that has any: 1, else 0.
  int Clear(int i, const TagVar& value);
  // Every group goes.
  void Reset();

  // Tests: the owner of a group, -2 when there is no such group.
  int OwnerOf(const std::string& group);

 private:
  struct Group {
    TagMsgList queue;
    uint32_t tick = 0;
    int owner = -1;
  };
  uint32_t Now() const;

  Clock clock_;
  std::mutex mu_;
  std::map<std::string, std::unique_ptr<Group>> groups_;
};

// The process-wide list.
TagAcdList& GlobalAcdList();
